#include "store_check.h"

#include <sqlite3.h>

#include <set>
#include <string>

#include "core/error.h"

namespace qel::server {

namespace {
// The table every central store has.
constexpr const char* kCentralTable = "export_row";
}  // namespace

void requireCentralStoreOrEmpty(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec) || std::filesystem::file_size(file, ec) == 0) return;
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    struct Close {
        sqlite3* db;
        ~Close() { sqlite3_close(db); }
    } closer{db};
    if (rc != SQLITE_OK) {
        throw ConfigError("Cannot open the central database " + file.string() + ": " +
                          sqlite3_errmsg(db));
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
                           "'sqlite_%'",
                           -1, &stmt, nullptr) != SQLITE_OK) {
        throw ConfigError(file.string() + " is not a central database: " + sqlite3_errmsg(db));
    }
    std::set<std::string> tables;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        tables.emplace(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    if (tables.empty() || tables.count(kCentralTable)) return;
    throw ConfigError(file.string() + " is not a central database (it holds other tables, e.g. " +
                      *tables.begin() + "); give a central store or a new file");
}

}  // namespace qel::server
