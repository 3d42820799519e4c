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
    // Rows a station had before it was restored from a backup that did not
    // hold them, never sent: gone with the restore, no fault of the export.
    std::int64_t goneWithRestore = 0;
    // Settled in one of a station's timelines while the server holds the row
    // its till wrote under the same key in another: a restored till numbers
    // its sales again, and the server keeps one row per key (the last sent).
    std::int64_t reused = 0;
    // Settled, held by the central store before a central restore replaced
    // it with an older copy, and beyond what the station sends again: deleted
    // there by its cleanup, left in an earlier timeline of a restored station,
    // or not a sale's row (the reconciliation of a short day sends sales with
    // their rows). Gone with the central restore, no fault of the export.
    std::int64_t goneWithCentralRestore = 0;
    std::int64_t duplicates = 0;        // held centrally twice: a station row under another key
    std::int64_t unexpected = 0;        // held centrally, never written at a station
    std::vector<std::string> examples;  // a few faulty rows, for the report
};

// One station: its database as it is now, and copies of it as it was each
// time it was restored from a backup (newest first), which hold the rows the
// restore took away.
struct StationHistory {
    std::filesystem::path now;
    std::vector<std::filesystem::path> earlier;
};

// Compares every checked table of the station files (with their shadows
// installed before the run) with the central store. A row of an earlier copy
// whose key the station no longer has (nor a newer copy) counts as written;
// it must be held centrally if it was settled there, and if it was still
// waiting and is not held it went with the restore. `replaced` are the
// central stores as each central restore found them: a settled row one of
// them held that the station cannot send again is gone with that restore,
// not lost. Throws on a station file without shadows or an unreadable store.
std::vector<TableCheck> checkRows(const std::vector<StationHistory>& stations, CentralRows& central,
                                  const std::vector<CentralRows*>& replaced = {});
std::vector<TableCheck> checkRows(const std::vector<std::filesystem::path>& stationFiles,
                                  CentralRows& central);

// The copies a run kept in `folder` (named 1.db, 2.db, ... as they were
// taken), newest first; none when the folder does not exist.
std::vector<std::filesystem::path> earlierCopies(const std::filesystem::path& folder);

}  // namespace qel::chaos
