#pragma once

// What an operator asks first about a station: is it behind, and why. Read
// from the station database and the run logs; nothing is exported or changed.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/datetime.h"
#include "db/connection.h"

namespace qel::status {

struct PendingTable {
    std::string table;
    std::int64_t rows = 0;
};

struct StationBacklog {
    std::vector<PendingTable> tables;  // every watched table, in export order
    std::int64_t waitingSales = 0;     // closed sales waiting to be exported
    std::int64_t openSales = 0;        // sales open at the till ('P'): they wait for their end
    std::optional<DateTime> oldestWaitingSale;  // opening time of the oldest waiting sale
};

// Counts the rows waiting to be exported by the station's flags. Throws
// DatabaseError when the station database cannot be read.
StationBacklog readBacklog(db::Connection& station, const std::string& store,
                           const std::string& stationCode);

// One line of a run log: its time and message (UTF-8).
struct LogLine {
    DateTime at;
    std::string message;
};

// What the run logs say about the latest runs.
struct RunHistory {
    std::optional<LogLine> lastRunStart;
    std::string lastRunOutcome;  // "exported", "nothing to export", "failed: ...", ...
    std::optional<LogLine> lastRunError;
    std::optional<LogLine> lastSuccessfulTransfer;
    std::optional<LogLine> lastCleanup;
    std::optional<LogLine> lastSummary;
    std::vector<LogLine> tail;  // the last lines of the newest log
};

// Reads the run logs under `executableFolder`/Dados/Qel_Exp, newest day
// first, until each question has its answer. `tailLines`: how many of the
// newest lines to keep.
RunHistory readRunHistory(const std::filesystem::path& executableFolder, std::size_t tailLines);

}  // namespace qel::status
