#pragma once

// Settings a lab or the chaos run gives the agent through its environment.
// A store sets none of them.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel::app {

// Where QELEXP_CRASH_AT makes the agent kill itself.
enum class CrashPoint {
    AckBefore,  // just before an acknowledgement transaction begins
    AckDuring,  // inside one, after its first flag update, before the commit
    AckAfter,   // right after one commits
    Cleanup,    // inside the cleanup's transaction, after its first delete
};

// The name QELEXP_CRASH_AT uses for the point ("ack-before", ...).
std::string_view crashPointName(CrashPoint point);

// Kill at the `occurrence`-th arrival at `point` (counted from 1 over the
// life of the process).
struct CrashPlan {
    CrashPoint point = CrashPoint::AckBefore;
    std::int64_t occurrence = 1;
};

struct LabSettings {
    // QELEXP_TIMER_SECONDS=N (1..3600): the export timer's period instead of
    // the station's PARAVEND.NRMINEXPVENDA minutes.
    std::optional<std::chrono::seconds> timerPeriod;
    // QELEXP_CRASH_AT=<point>[:N].
    std::optional<CrashPlan> crashAt;
    // One run-log line per variable whose value was ignored, and why.
    std::vector<std::string> problems;

    // Reads the variables through `lookup` (std::getenv in the agent); an
    // unset or empty variable is simply absent.
    static LabSettings read(const std::function<const char*(const char*)>& lookup);
};

}  // namespace qel::app
