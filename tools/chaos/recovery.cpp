#include "recovery.h"

#include <algorithm>
#include <cmath>

namespace qel::chaos {
namespace {

// The first completed export at or after the second that follows `at`.
std::optional<DateTime> firstExportAfter(const std::vector<DateTime>& exports, DateTime at) {
    const DateTime from = DateTime(std::floor(at.value() * 86400.0 + 1e-6) / 86400.0).addSeconds(1);
    const auto it = std::lower_bound(exports.begin(), exports.end(), from.addSeconds(-0.0005));
    if (it == exports.end()) return std::nullopt;
    return *it;
}

// When every agent concerned had exported again after `at`, or nothing.
std::optional<DateTime> recoveredAt(const JournalEntry& e,
                                    const std::map<std::string, std::vector<DateTime>>& exports) {
    if (e.target != "server" && e.target != "all") {
        const auto it = exports.find(e.target);
        if (it == exports.end()) return std::nullopt;
        return firstExportAfter(it->second, e.at);
    }
    std::optional<DateTime> last;
    for (const auto& [agent, times] : exports) {
        const auto t = firstExportAfter(times, e.at);
        if (!t) return std::nullopt;
        if (!last || *t > *last) last = t;
    }
    return last;
}

FaultTally tallyOf(std::string kind) {
    FaultTally t;
    t.kind = std::move(kind);
    return t;
}

double secondsBetween(DateTime a, DateTime b) {
    return (b.value() - a.value()) * 86400.0;
}

}  // namespace

RecoveryReport tallyRecoveries(const std::vector<JournalEntry>& journal,
                               const std::map<std::string, std::vector<DateTime>>& exports,
                               const std::vector<std::string>& kinds) {
    RecoveryReport report;
    std::map<std::string, std::vector<double>> delays;
    for (const std::string& k : kinds) report.faults.push_back(tallyOf(k));
    for (const JournalEntry& e : journal) {
        const auto recovered = recoveredAt(e, exports);
        if (e.kind == "restart") {
            if (recovered) {
                report.restartToExport.push_back(secondsBetween(e.at, *recovered));
            } else {
                ++report.restartsWithoutExport;
            }
            continue;
        }
        auto it = std::find_if(report.faults.begin(), report.faults.end(),
                               [&](const FaultTally& t) { return t.kind == e.kind; });
        if (it == report.faults.end()) {
            report.faults.push_back(tallyOf(e.kind));
            it = std::prev(report.faults.end());
        }
        ++it->fired;
        if (e.measured) it->measured.push_back(*e.measured);
        if (recovered) {
            ++it->recovered;
            delays[e.kind].push_back(secondsBetween(e.at, *recovered));
        }
    }
    for (FaultTally& t : report.faults) {
        auto& d = delays[t.kind];
        if (d.empty()) continue;
        std::sort(d.begin(), d.end());
        t.medianSeconds = d[d.size() / 2];
        t.maxSeconds = d.back();
    }
    return report;
}

}  // namespace qel::chaos
