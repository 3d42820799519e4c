#include "sqlite_file.h"

#include "core/error.h"

namespace qel::chaos {

SqliteFile::SqliteFile(const std::filesystem::path& file, bool readOnly, int busyMs)
    : name_(file.string()) {
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    if (sqlite3_open_v2(name_.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw DatabaseError(name_ + ": " + message);
    }
    sqlite3_busy_timeout(db_, busyMs);
}

SqliteFile::~SqliteFile() {
    sqlite3_close(db_);
}

void SqliteFile::execute(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        throw DatabaseError(name_ + ": " + message);
    }
}

void SqliteFile::query(const std::string& sql, const std::vector<std::string>& params,
                       const std::function<void(sqlite3_stmt*)>& row) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        throw DatabaseError(name_ + ": " + sqlite3_errmsg(db_) + " in: " + sql);
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i].c_str(), -1, SQLITE_TRANSIENT);
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) row(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) throw DatabaseError(name_ + ": " + sqlite3_errmsg(db_) + " in: " + sql);
}

std::string SqliteFile::scalar(const std::string& sql, const std::vector<std::string>& params) {
    std::string value;
    bool first = true;
    query(sql, params, [&](sqlite3_stmt* stmt) {
        if (first) value = columnText(stmt, 0);
        first = false;
    });
    return value;
}

std::string columnText(sqlite3_stmt* stmt, int column) {
    const auto* text = sqlite3_column_text(stmt, column);
    return text ? reinterpret_cast<const char*>(text) : std::string();
}

}  // namespace qel::chaos
