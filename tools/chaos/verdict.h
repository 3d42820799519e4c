#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "recovery.h"
#include "row_check.h"

namespace qel::chaos {

// What a run must reach to pass.
struct Floors {
    std::int64_t faultsPerKind = 20;
    std::map<std::string, std::int64_t> kindFloors;  // kinds with a floor of their own
    std::int64_t rowsWritten = 10'000;
    // The longest a clock step may hold back the next export: one period of
    // the agents' timer and a minute.
    std::optional<double> clockStepLimitSeconds;
    std::string why;  // said in the report when the floors are lowered
};

// Everything the report shows besides the row check.
struct RunFigures {
    std::optional<std::uint64_t> seed;
    std::string replay;  // the command that replays the run
    std::optional<RecoveryReport> recovery;
    std::int64_t storedRows = 0, storedBytes = 0;
    std::optional<std::int64_t> sentRows, sentBytes;  // received by the server, sent to it
};

// Prints the report and returns whether the run passes: no row lost,
// duplicated or falsely flagged, none pending, every fault kind fired at
// least the floor (when the journal is known) and enough rows written.
bool report(std::ostream& out, const std::vector<TableCheck>& tables, const RunFigures& figures,
            const Floors& floors);

}  // namespace qel::chaos
