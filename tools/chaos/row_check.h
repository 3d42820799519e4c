#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "central_rows.h"

namespace qel::chaos {

// What the checker found for one table, over every station file.
struct TableCheck {
    std::string table;
    std::int64_t written = 0;         // rows the stations had while waiting for export
    std::int64_t settled = 0;         // flagged exported or deleted at their station
    std::int64_t deleted = 0;         // of those, deleted at their station
    std::int64_t lost = 0;            // settled, but not held centrally with the same content
    std::int64_t falselyFlagged = 0;  // of the lost, those still at the station flagged "S"
    std::int64_t pending = 0;         // still waiting at their station
    std::int64_t open = 0;            // of sales still open at the till: not yet for export
    // Left unflagged while its sale was flagged, so never sent again: held
    // centrally all the same (unflagged), or not (stranded, a loss to come).
    std::int64_t unflagged = 0;
    std::int64_t stranded = 0;
    std::int64_t duplicates = 0;        // held centrally twice: a station row under another key
    std::int64_t unexpected = 0;        // held centrally, never written at a station
    std::vector<std::string> examples;  // a few faulty rows, for the report
};

// Compares every checked table of the station files (with their shadows
// installed before the run) with the central store. Throws on a station
// file without shadows or an unreadable store.
std::vector<TableCheck> checkRows(const std::vector<std::filesystem::path>& stationFiles,
                                  CentralRows& central);

}  // namespace qel::chaos
