#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sqlite_file.h"

namespace qel::chaos {

// The columns of a station table as its schema declares them.
struct TableShape {
    std::vector<std::string> columns;
    std::vector<std::string> types;  // declared types, in column order
    std::vector<std::string> key;    // primary-key columns, in key order
};

// Reads the shape of `table`; no columns when the table does not exist.
TableShape readShape(SqliteFile& db, std::string_view table);

// "a.K1 IS b.K1 AND a.K2 IS b.K2 ..." over the key columns (IS: null-safe).
std::string keyMatch(const std::vector<std::string>& key, std::string_view a, std::string_view b);

// Whether the table has the key columns of a sale (CDFILIAL, CDCAIXA, NRSEQVENDA).
bool hasSaleKey(const TableShape& shape);

// "The sale of row `alias` is still open at the till" (situation "P").
std::string openSale(std::string_view alias);

// "The row `alias` belongs to a sale that is flagged exported or gone".
std::string saleSettled(std::string_view alias);

// A SQL identifier in double quotes.
std::string sqlName(std::string_view name);

}  // namespace qel::chaos
