#pragma once

#include <sqlite3.h>

#include <unordered_map>

#include "central_store.h"
#include "fleet_status.h"

// The SQLite store's tables for fleet monitoring and day completeness.
namespace qel::server::sqlite_fleet {

// Statements prepared once for a connection and reused: each batch would
// otherwise parse its half-dozen statements again. Not thread-safe; used
// under the store's lock.
class StatementCache {
  public:
    explicit StatementCache(sqlite3* db) : db_(db) {}
    ~StatementCache();
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;
    // The statement of `sql`, a string of static storage (its address is
    // the key), prepared on first use. The caller resets it after use.
    sqlite3_stmt* get(const char* sql);

  private:
    sqlite3* db_;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// The tables; sale_day's on its own, for migrating files of an earlier layout.
extern const char* const kSaleDayTable;
extern const char* const kSchema;

// REQUIRES: inside the batch's write transaction. `stored` is the rows per
// table the batch newly stored or changed.
void writeBatch(StatementCache& statements, sqlite3* db, const InsertBatch& batch,
                const TableCounts& stored);
void touch(StatementCache& statements, sqlite3* db, std::string_view store,
           std::string_view station, DateTime at);
std::vector<StationStatus> read(sqlite3* db, DateTime today, DateTime since);
// REQUIRES: inside a write transaction.
std::vector<DayShortfall> findShortDays(sqlite3* db, std::string_view store,
                                        std::string_view station, DateTime since, DateTime at);

}  // namespace qel::server::sqlite_fleet
