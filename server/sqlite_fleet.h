#pragma once

#include <sqlite3.h>

#include "central_store.h"
#include "fleet_status.h"

// The SQLite store's tables for fleet monitoring and day completeness.
namespace qel::server::sqlite_fleet {

// The tables; sale_day's on its own, for migrating files of an earlier layout.
extern const char* const kSaleDayTable;
extern const char* const kSchema;

// REQUIRES: inside the batch's write transaction. `stored` is the rows per
// table the batch newly stored or changed.
void writeBatch(sqlite3* db, const InsertBatch& batch, const TableCounts& stored);
void touch(sqlite3* db, std::string_view store, std::string_view station, DateTime at);
std::vector<StationStatus> read(sqlite3* db, DateTime today, DateTime since);
// REQUIRES: inside a write transaction.
std::vector<DayShortfall> findShortDays(sqlite3* db, std::string_view store,
                                        std::string_view station, DateTime since, DateTime at);

}  // namespace qel::server::sqlite_fleet
