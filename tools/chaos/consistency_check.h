#pragma once

// Whether a station and the central store agree now: every row the station
// flags as exported is held centrally with the same content (the columns the
// acknowledgement writes aside), and nothing waits to be sent. A snapshot,
// where the chaos run's check (row_check.h) follows every version of a row;
// both judge rows by the same tables, keys and contents. Free of any test
// framework: each function returns the discrepancies as readable texts,
// empty when there are none.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "central_store.h"
#include "core/variant.h"
#include "db/connection.h"
#include "row_content.h"

namespace qel::chaos {

// Rows a station flags as exported, per table, keyed the way the central
// store keys them, with the content a packet of them would carry.
struct ExportedRows {
    struct Held {
        std::string description;  // table and key values, for the reports
        Bytes content;
        std::string refused;  // why the server would refuse the row; empty: it keys it
    };
    struct Table {
        RowContent content;
        std::map<Bytes, Held> rows;
    };
    std::map<std::string, Table> byTable;

    std::size_t size() const;
    // Adds the rows of `other` not already here (a snapshot taken before a
    // cleanup keeps the rows the cleanup then deleted).
    void merge(const ExportedRows& other);
    // The rows not in `other` (leaves out those flagged before a test began,
    // which were never sent to this server).
    ExportedRows without(const ExportedRows& other) const;
};

// Reads the rows `station` flags as exported in the checked tables (sales and
// their rows, shifts, cash movements, Z reductions, access, operator and
// order logs). `database` names the station database as the server files
// rows whose key does not name their station (an open server: "CDFILIAL/CDCAIXA"
// of the caller).
ExportedRows readExportedRows(db::Connection& station, std::string_view database);

// Each row that `central` does not hold, or holds with other content outside
// the acknowledgement's columns.
std::vector<std::string> rowsNotHeld(const ExportedRows& rows, server::CentralStore& central);

// One text per table that still has rows waiting to be sent.
std::vector<std::string> pendingRows(db::Connection& station);

}  // namespace qel::chaos
