#pragma once

#include <string_view>

namespace qel::definitions {

// The DDL of the station database and of the central database for SQLite,
// embedded at build time from tools/schema/station.sqlite.sql and
// tools/schema/central.sqlite.sql. Each is a script of several statements
// (sqlite3_exec runs it whole).
std::string_view stationSchemaSqlite();
std::string_view centralSchemaSqlite();

}  // namespace qel::definitions
