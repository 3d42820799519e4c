#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace qel::chaos {

// One fault the run will fire: when (milliseconds after the faults start, at
// the earliest: a fault waits for the one before it on the same lane), what,
// on which agent (for faults that hit every agent, -1), and a parameter the
// fault draws once here so that it replays too (the crash point's pass
// number, a delay, how long a lock, an unwritable folder, a full disk or an
// outage lasts, the seconds a clock steps, the age of a restored backup).
struct PlannedFault {
    std::int64_t atMs = 0;
    std::string_view kind;
    int agent = -1;
    std::int64_t parameter = 0;
};

struct ScheduleSettings {
    std::uint64_t seed = 1;
    std::int64_t durationMs = 0;  // the faults are spread over this time
    int agents = 3;
    int perKind = 20;         // firings planned per fault kind
    int perMachineKind = 20;  // for the faults done to a machine
    int perLengthyKind = 3;   // for the kinds that last minutes (a long outage)
    int perHeavyKind = 7;     // for the kinds that take the central store down (a restore)
    bool postgres = false;    // the central store's own faults differ
    std::int64_t outageMinMs = 120'000, outageMaxMs = 240'000;  // a long outage lasts
};

// The faults of a run, by lane: lane 0 for the faults that hit every agent
// (server and connection), lane 1 + i for agent i. Each lane is in time
// order; lanes run side by side. The same settings give the same schedule.
std::vector<std::vector<PlannedFault>> planFaults(const ScheduleSettings& settings);

}  // namespace qel::chaos
