#include "schedule.h"

#include <algorithm>

#include "fault_kinds.h"
#include "simulator/random.h"

namespace qel::chaos {
namespace {

using simulator::Random;

// A clock step of minutes, hours or up to a day, each about as often.
std::int64_t drawStepSeconds(Random& random) {
    switch (random.below(3)) {
        case 0:
            return random.between(120, 3600);
        case 1:
            return random.between(3600, 21600);
        default:
            return random.between(21600, 86400);
    }
}

// The parameter each kind draws: the pass of the crash point (1..3), a delay
// in milliseconds, how long a lock, an unwritable folder, a full disk or an
// outage is held, the seconds a clock steps, or the age in seconds of the
// backup a station or the central store is restored from.
std::int64_t drawParameter(std::string_view kind, const ScheduleSettings& s, Random& random) {
    if (kind.starts_with("agent-kill-")) return random.between(1, 3);
    if (kind == "delay") return random.between(500, 4000);
    if (kind == "database-locked") return random.between(2000, 6000);  // beyond the busy timeout
    if (kind == "log-unwritable") return random.between(3000, 15000);
    if (kind.ends_with("disk-full")) return random.between(3000, 15000);
    if (kind == "central-restart") return random.between(1000, 10000);
    if (kind == "long-outage") return random.between(s.outageMinMs, s.outageMaxMs);
    if (kind == "restored-backup" || kind == "central-restore") return random.between(60, 300);
    if (stepsAClock(kind)) return drawStepSeconds(random);
    return 0;
}

}  // namespace

std::vector<std::vector<PlannedFault>> planFaults(const ScheduleSettings& s) {
    Random random(s.seed);
    std::vector<std::vector<PlannedFault>> lanes(static_cast<std::size_t>(s.agents) + 1);
    std::vector<PlannedFault> all;
    for (const FaultKind& k : faultKindsFor(s.postgres)) {
        if (k.heavy) continue;  // drawn apart, below
        const int planned = k.lengthy ? s.perLengthyKind : k.machine ? s.perMachineKind : s.perKind;
        for (int i = 0; i < planned; ++i) {
            PlannedFault f;
            f.kind = k.name;
            f.agent = k.scope == FaultScope::Agent
                          ? static_cast<int>(random.below(static_cast<std::uint64_t>(s.agents)))
                          : -1;
            f.parameter = drawParameter(k.name, s, random);
            all.push_back(f);
        }
    }
    // Fisher-Yates with our own generator: std::shuffle's use of the engine is
    // not the same in every standard library.
    for (std::size_t i = all.size(); i > 1; --i) {
        std::swap(all[i - 1], all[random.below(i)]);
    }
    for (const PlannedFault& f : all) lanes[static_cast<std::size_t>(f.agent + 1)].push_back(f);
    for (auto& lane : lanes) {
        // Evenly spread slots over the duration, each fault at a random
        // moment of its slot.
        const auto n = static_cast<std::int64_t>(lane.size());
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t slot = s.durationMs / std::max<std::int64_t>(n, 1);
            lane[static_cast<std::size_t>(i)].atMs =
                i * slot + static_cast<std::int64_t>(random.below(
                               static_cast<std::uint64_t>(std::max<std::int64_t>(slot, 1))));
        }
    }
    // The central restores, added after runs were published, draw from a
    // generator of their own and join their lane by time: a seed keeps the
    // schedule of every other fault.
    Random apart(s.seed ^ 0x9E3779B97F4A7C15ULL);
    for (const FaultKind& k : faultKindsFor(s.postgres)) {
        if (!k.heavy || s.perHeavyKind <= 0) continue;
        const std::int64_t slot = s.durationMs / s.perHeavyKind;
        for (int i = 0; i < s.perHeavyKind; ++i) {
            PlannedFault f;
            f.kind = k.name;
            f.agent = k.scope == FaultScope::Agent
                          ? static_cast<int>(apart.below(static_cast<std::uint64_t>(s.agents)))
                          : -1;
            f.parameter = drawParameter(k.name, s, apart);
            f.atMs = i * slot + static_cast<std::int64_t>(apart.below(
                                    static_cast<std::uint64_t>(std::max<std::int64_t>(slot, 1))));
            lanes[static_cast<std::size_t>(f.agent + 1)].push_back(f);
        }
    }
    for (auto& lane : lanes) {
        std::stable_sort(
            lane.begin(), lane.end(),
            [](const PlannedFault& a, const PlannedFault& b) { return a.atMs < b.atMs; });
    }
    return lanes;
}

}  // namespace qel::chaos
