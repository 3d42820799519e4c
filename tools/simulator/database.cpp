#include <string>

#include "simulator/simulator.h"

namespace qel::simulator {
namespace embedded {
extern const unsigned char stationSchema[];
extern const std::size_t stationSchemaSize;
extern const unsigned char centralSchema[];
extern const std::size_t centralSchemaSize;
}  // namespace embedded

std::string stationSchemaText() {
    return {reinterpret_cast<const char*>(embedded::stationSchema), embedded::stationSchemaSize};
}

std::string centralSchemaText() {
    return {reinterpret_cast<const char*>(embedded::centralSchema), embedded::centralSchemaSize};
}

Database::Database(const std::string& path, bool centralSchema) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw DatabaseError("cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 10000);
    try {
        execute(db_, "PRAGMA journal_mode=WAL");
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db_, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'", -1,
                           &stmt, nullptr);
        const bool empty = sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int(stmt, 0) == 0;
        sqlite3_finalize(stmt);
        if (empty) {
            execute(db_, "BEGIN");
            execute(db_, centralSchema ? centralSchemaText() : stationSchemaText());
            execute(db_, "COMMIT");
        }
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

Database::~Database() {
    sqlite3_close(db_);
}

}  // namespace qel::simulator
