#pragma once

#include <string>
#include <string_view>

namespace qel::definitions {

// The consumer selection that reads the central passwords names the central
// SENHACONS table through the store's configured database (and, on SQL Server,
// schema). Those are identifiers, which cannot be bound, so the texts of
// statement("adqCliCONSCENTRAL") hold these placeholders and are completed per
// run. The store code stays a bound parameter (:P_CDFILIAL).
inline constexpr std::string_view kCentralDatabasePlaceholder = "{CENTRAL_DATABASE}";
inline constexpr std::string_view kCentralSchemaPlaceholder = "{CENTRAL_SCHEMA}";

// REQUIRES: database and schema are validated identifiers (no quotes, no
// separators); an empty schema gives database..SENHACONS, the default schema.
std::string centralConsumerSqlServer(std::string_view database, std::string_view schema);

// SQLite attaches the central database file under its catalogue name, so the
// table is database.SENHACONS. REQUIRES: database is a validated identifier.
std::string centralConsumerSqlite(std::string_view database);

}  // namespace qel::definitions
