#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "table_rules.h"

namespace qel::chaos {

// A station table whose rows are checked against the central store, and how
// a row of it shows that it has left the station.
struct CheckedTable {
    std::string_view table;  // the station table, named as the central store names it
    std::string_view flag;   // its own export flag column; empty: the flag of its sale
    bool saleChild = false;  // joined to VENDA by CDFILIAL, CDCAIXA, NRSEQVENDA
    // Columns the agent's acknowledgement (or cleanup) writes after sending:
    // a change of these alone is not a new version of the row.
    std::vector<std::string_view> ackColumns = {};
    // Its rows are selected only with a sale still waiting: once the sale is
    // flagged, a row of it left unflagged is never sent again.
    bool onlyWithItsSale = false;
    // The rows a snapshot of the station counts as still to be sent (a
    // condition on the table's columns); empty: none of its own (a sale's
    // rows wait with their sale).
    std::string_view waiting = {};
};

// The tables a selling station writes and the agent exports as whole rows
// ("SELECT T.*"), so that a row's content at the station is the content the
// server stores: those a chaos run follows through shadows.
std::span<const CheckedTable> checkedTables();

// Those, and the tables of shifts, Z reductions and logs a snapshot of a
// station checks besides (written once and flagged, not followed by shadows).
std::span<const CheckedTable> snapshotTables();

// The packet element whose rows are plain rows of `table` (its key rule).
// Throws Error when no element carries them.
const server::TableRule& ruleOf(std::string_view table);

// The name of the table that keeps every version of `table`'s rows.
std::string shadowName(std::string_view table);

}  // namespace qel::chaos
