#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/variant.h"

namespace qel::chaos {

// One row as the central store holds it: its central key and canonical
// content (see the server's canonical_row.h) and the station that sent it.
struct CentralRow {
    Bytes key;
    Bytes content;
    std::string store;
    std::string station;
};

// Reads the rows of the central store table by table, with the store's own
// SQL (its rows are kept in export_row under (table, central key)).
class CentralRows {
  public:
    virtual ~CentralRows() = default;
    virtual std::vector<CentralRow> table(std::string_view name) = 0;
    // Every row held, and the bytes of their contents.
    virtual std::pair<std::int64_t, std::int64_t> totals() = 0;
};

// A SQLite central store file, or a postgresql:// URI. Throws DatabaseError.
std::unique_ptr<CentralRows> openCentralRows(const std::string& location);

}  // namespace qel::chaos
