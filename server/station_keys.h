#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qel::server {

// Primary-key columns of every table of a station database, by upper-case
// table name, in the order the key declares them.
using PrimaryKeys = std::map<std::string, std::vector<std::string>, std::less<>>;

// Reads the primary keys out of a station schema script: each
// "CREATE TABLE name (...)" with a "PRIMARY KEY (a, b, ...)" clause, as a
// table constraint or on a single column. Tables without a key are left out.
PrimaryKeys parsePrimaryKeys(std::string_view ddl);

// The primary keys of the station schema this build carries
// (tools/schema/station.sqlite.sql, embedded at build time).
const PrimaryKeys& stationPrimaryKeys();

}  // namespace qel::server
