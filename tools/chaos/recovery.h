#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "journal.h"

namespace qel::chaos {

struct FaultTally {
    std::string kind;
    std::int64_t fired = 0;
    std::int64_t recovered = 0;  // the agent (every agent, for a shared fault) exported after it
    std::optional<double> medianSeconds, maxSeconds;  // fault to the export that recovered it
    std::vector<double> measured;  // what each firing measured itself (journal), in order
};

struct RecoveryReport {
    std::vector<FaultTally> faults;  // every fault kind, in faultKinds() order
    // Restarts of the server and of agents: seconds to the first export after.
    std::vector<double> restartToExport;
    std::int64_t restartsWithoutExport = 0;
};

// Matches the journal with the completed exports of each agent. A run log
// line has whole seconds, so an export counts only from the second after
// the fault's.
// `kinds` are the fault types the run fires (listed even when none fired).
RecoveryReport tallyRecoveries(const std::vector<JournalEntry>& journal,
                               const std::map<std::string, std::vector<DateTime>>& exports,
                               const std::vector<std::string>& kinds);

}  // namespace qel::chaos
