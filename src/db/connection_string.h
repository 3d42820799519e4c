#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/connection.h"

namespace qel::db {

// The key/value pairs of an OLE DB or ODBC connection string, in order.
// Keys keep their spelling; lookups ignore case.
class ConnectionProperties {
  public:
    // Parses "Key=Value;Key2=Value2". Blanks around keys and values are
    // removed; a value may be quoted with "..." or '...' (a doubled quote
    // inside stands for one) or, ODBC style, braced with {...}. Throws
    // DatabaseError on a pair without '='.
    static ConnectionProperties parse(std::string_view text);

    // The value of a key, or "" when absent.
    std::string get(std::string_view key) const;
    // The value of the first of several synonymous keys that is present.
    std::string getAny(std::initializer_list<std::string_view> keys) const;
    bool has(std::string_view key) const;

    const std::vector<std::pair<std::string, std::string>>& pairs() const { return pairs_; }

  private:
    std::vector<std::pair<std::string, std::string>> pairs_;
};

enum class BackendKind { Sqlite, Odbc };

// Where a connection string leads.
struct ConnectionTarget {
    BackendKind backend = BackendKind::Sqlite;
    Dialect dialect = Dialect::Sqlite;
    // Embedded backend: the folder ("Data Source") and the database file in it.
    std::string folder;
    std::string databasePath;
    // ODBC backend: the connection string handed to the driver manager.
    std::string odbcConnectionString;
};

// Resolves a connection string; throws DatabaseError for an unknown or
// missing provider or a missing catalogue.
ConnectionTarget resolveConnectionString(std::string_view text, const ConnectionOptions& options);

// The file of a catalogue in an embedded database folder: "<folder>/<name>.db",
// or "<folder>/<name>" when the name already ends in ".db".
std::string catalogPath(std::string_view folder, std::string_view catalog);

}  // namespace qel::db
