#pragma once

#include <span>
#include <string_view>
#include <vector>

namespace qel::chaos {

// A station table the checker follows row by row, and how it tells whether a
// row has left the station for good.
struct CheckedTable {
    std::string_view table;  // the station table, named as the central store names it
    int element = -1;        // its element of the packet array (the server's key rule)
    std::string_view flag;   // its own export flag column; empty: the flag of its sale
    bool saleChild = false;  // joined to VENDA by CDFILIAL, CDCAIXA, NRSEQVENDA
    // Columns the agent's acknowledgement (or cleanup) writes after sending:
    // a change of these alone is not a new version of the row.
    std::vector<std::string_view> ackColumns = {};
    // Its rows are selected only with a sale still waiting: once the sale is
    // flagged, a row of it left unflagged is never sent again.
    bool onlyWithItsSale = false;
};

// The tables a selling station writes and the agent exports as whole rows
// ("SELECT T.*"), so that a row's content at the station is the content the
// server stores.
std::span<const CheckedTable> checkedTables();

// The name of the table that keeps every version of `table`'s rows.
std::string shadowName(std::string_view table);

}  // namespace qel::chaos
