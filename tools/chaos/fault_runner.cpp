#include "fault_runner.h"

#include <signal.h>

#include <thread>

#include "central_copies.h"
#include "core/clock.h"
#include "core/error.h"
#include "export_watcher.h"
#include "fault_proxy/fault_proxy.h"
#include "machine_clock.h"
#include "simulators.h"
#include "station_backups.h"
#include "station_faults.h"
#include "tmpfs_disk.h"

namespace qel::chaos {
namespace {

using namespace std::chrono_literals;
using faults::ProxyFault;

// How long the agent's database layer waits for a lock before it fails.
constexpr auto kAgentBusyTimeout = 30s;

std::optional<ProxyFault> proxyFaultOf(std::string_view kind) {
    if (kind == "cut-during-request") return ProxyFault::CutDuringRequest;
    if (kind == "cut-after-commit") return ProxyFault::CutAfterCommit;
    if (kind == "cut-mid-answer") return ProxyFault::CutMidAnswer;
    if (kind == "delay") return ProxyFault::Delay;
    if (kind == "server-error") return ProxyFault::ServerError;
    if (kind == "malformed-answer") return ProxyFault::MalformedAnswer;
    if (kind == "partial-answer") return ProxyFault::PartialAnswer;
    return std::nullopt;
}

}  // namespace

FaultRunner::FaultRunner(faults::FaultProxy& proxy, ServerControl& server,
                         std::vector<std::unique_ptr<AgentControl>>& agents, Journal& journal,
                         int timerSeconds, FaultTargets targets)
    : proxy_(proxy),
      server_(server),
      agents_(agents),
      journal_(journal),
      timerSeconds_(timerSeconds),
      targets_(std::move(targets)) {}

FaultRunner::~FaultRunner() {
    finish();
}

void FaultRunner::finish() {
    std::vector<std::thread> locks;
    {
        std::lock_guard lock(mutex_);
        locks.swap(locks_);
    }
    for (std::thread& t : locks) t.join();
}

void FaultRunner::note(std::string_view kind, const std::string& target,
                       std::optional<double> measured) {
    journal_.add({SystemClock().now(), std::string(kind), target, measured});
}

void FaultRunner::miss(std::string_view kind) {
    std::lock_guard lock(mutex_);
    ++missed_[std::string(kind)];
}

std::map<std::string, int> FaultRunner::missed() const {
    std::lock_guard lock(mutex_);
    return missed_;
}

void FaultRunner::fire(const PlannedFault& f) {
    if (f.kind == "server-kill") {
        server_.killHard();
        note(f.kind, "server");
        server_.start();
        note("restart", "server");
        return;
    }
    if (proxyFaultOf(f.kind)) {
        proxyFault(f);
        return;
    }
    if (f.kind.starts_with("server-clock-")) {
        serverClockStep(f);
        return;
    }
    if (f.kind == "central-disk-full") {
        if (targets_.centralDisk == nullptr)
            throw Error("the central store has no disk of its own");
        diskFull(*targets_.centralDisk, f, "all");
        return;
    }
    if (f.kind == "central-restart") {
        if (!targets_.restartCentral) throw Error("the central store cannot be restarted");
        note(f.kind, "all");
        targets_.restartCentral(std::chrono::milliseconds(f.parameter));
        return;
    }
    if (f.kind == "long-outage") {
        longOutage(f);
        return;
    }
    if (f.kind == "central-restore") {
        centralRestore(f);
        return;
    }
    const auto index = static_cast<std::size_t>(f.agent);
    AgentControl& agent = *agents_.at(index);
    const std::string& name = agent.station().name;
    if (f.kind == "agent-kill") {
        agent.killHard();
        note(f.kind, name);
        agent.start();
        note("restart", name);
    } else if (f.kind.starts_with("agent-kill-")) {
        crashPoint(agent, f);
    } else if (f.kind == "database-locked") {
        note(f.kind, name);
        const auto database = agent.station().database;
        const auto hold = kAgentBusyTimeout + std::chrono::milliseconds(f.parameter);
        std::lock_guard lock(mutex_);
        ++lockHolders_[database];
        locks_.emplace_back([this, database, hold] {
            const std::size_t span = lockSpans_.taken(database, std::chrono::steady_clock::now());
            try {
                holdExclusiveLock(database, hold);
            } catch (const std::exception&) {
                // Another lock on the same file held it past our own wait.
            }
            lockSpans_.released(database, span, std::chrono::steady_clock::now());
            std::lock_guard done(mutex_);
            --lockHolders_[database];
        });
    } else if (f.kind == "log-unwritable") {
        UnwritableFolder folder(agent.station().folder / "Dados" / "Qel_Exp");
        note(f.kind, name);
        std::this_thread::sleep_for(std::chrono::milliseconds(f.parameter));
        folder.restore();
    } else if (f.kind.starts_with("agent-clock-")) {
        agentClockStep(agent, f);
    } else if (f.kind == "station-disk-full") {
        if (index >= targets_.stationDisks.size() || targets_.stationDisks[index] == nullptr)
            throw Error("station " + name + " has no disk of its own");
        diskFull(*targets_.stationDisks[index], f, name);
    } else if (f.kind == "restored-backup") {
        restoreBackup(index, f);
    } else {
        throw Error("unknown fault " + std::string(f.kind));
    }
}

namespace {

// Seconds from `from` to `to`, or -1 when `to` never came.
double secondsOrNone(std::chrono::steady_clock::time_point from,
                     std::optional<std::chrono::steady_clock::time_point> to) {
    if (!to) return -1;
    return std::chrono::duration<double>(*to - from).count();
}

// Waits until `seen` answers or `timeout` passes.
template <typename Seen>
std::optional<std::chrono::steady_clock::time_point> await(Seen seen,
                                                           std::chrono::seconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto at = seen()) return at;
        if (std::chrono::steady_clock::now() >= until) return std::nullopt;
        std::this_thread::sleep_for(100ms);
    }
}

// The larger of two step measures; a missing export wins.
double worst(double a, double b) {
    return a < 0 || b < 0 ? -1 : std::max(a, b);
}

}  // namespace

void FaultRunner::agentClockStep(AgentControl& agent, const PlannedFault& f) {
    const auto index = static_cast<std::size_t>(f.agent);
    if (index >= targets_.agentClocks.size() || targets_.watcher == nullptr)
        throw Error("the agents' clocks are not stepped in this run");
    MachineClock& clock = *targets_.agentClocks[index];
    const std::string name = agent.station().name;
    // A step, the runs that follow on the stepped clock, then the step back
    // a time server makes: each must be followed by a run within a period
    // and a minute, not counting the time a lock of this lane held the
    // station database meanwhile. The wait allows more, so that a late run
    // is measured.
    const auto timeout = std::chrono::seconds(timerSeconds_ + 180);
    const auto database = agent.station().database;
    auto stepAndMeasure = [&](std::int64_t offset) {
        const auto at = std::chrono::steady_clock::now();
        clock.step(offset);
        const auto run = await([&] { return targets_.watcher->runBegunAfter(name, at); }, timeout);
        const double seconds = secondsOrNone(at, run);
        return seconds < 0 ? seconds : seconds - lockSpans_.heldWithin(database, at, *run);
    };
    const std::int64_t seconds = f.kind == "agent-clock-back" ? -f.parameter : f.parameter;
    const auto firedAt = SystemClock().now();
    const double first = stepAndMeasure(seconds);
    std::this_thread::sleep_for(std::chrono::seconds(2 * timerSeconds_));
    const double back = stepAndMeasure(0);
    journal_.add({firedAt, std::string(f.kind), name, worst(first, back)});
}

void FaultRunner::serverClockStep(const PlannedFault& f) {
    if (targets_.serverClock == nullptr || targets_.watcher == nullptr)
        throw Error("the server's clock is not stepped in this run");
    // The server serves an export run begun after the step, for any agent:
    // measured to the beginning of the first such run that completed without
    // an error, since how long a run then takes to send (a backlog after an
    // outage, 100 sales a run) is load, not the clock. The wait allows for
    // such a run to end.
    auto anyExport = [&](std::chrono::steady_clock::time_point at) {
        return await(
            [&]() -> std::optional<std::chrono::steady_clock::time_point> {
                std::optional<std::chrono::steady_clock::time_point> first;
                for (const auto& a : agents_) {
                    const auto t = targets_.watcher->servedRunBegunAfter(a->station().name, at);
                    if (t && (!first || *t < *first)) first = t;
                }
                return first;
            },
            std::chrono::seconds(timerSeconds_ + 600));
    };
    auto stepAndMeasure = [&](std::int64_t offset) {
        const auto at = std::chrono::steady_clock::now();
        targets_.serverClock->step(offset);
        return secondsOrNone(at, anyExport(at));
    };
    const std::int64_t seconds = f.kind == "server-clock-back" ? -f.parameter : f.parameter;
    const auto firedAt = SystemClock().now();
    const double first = stepAndMeasure(seconds);
    std::this_thread::sleep_for(std::chrono::seconds(2 * timerSeconds_));
    const double back = stepAndMeasure(0);
    journal_.add({firedAt, std::string(f.kind), "all", worst(first, back)});
}

void FaultRunner::diskFull(TmpfsDisk& disk, const PlannedFault& f, const std::string& target) {
    disk.fill();
    note(f.kind, target);
    std::this_thread::sleep_for(std::chrono::milliseconds(f.parameter));
    disk.free();
}

void FaultRunner::restoreBackup(std::size_t index, const PlannedFault& f) {
    if (targets_.backups == nullptr || targets_.simulators == nullptr)
        throw Error("the stations have no backups in this run");
    AgentControl& agent = *agents_.at(index);
    const StationFolder& station = agent.station();
    auto backup = targets_.backups->aged(index, std::chrono::seconds(f.parameter));
    if (!backup) {
        miss(f.kind);  // no backup taken yet
        return;
    }
    // The store stops its programs, keeps nothing of the day (the checker
    // gets what the station had), and copies the backup back. A connection
    // still open on the old file would, on closing, remove the new file's
    // write-ahead log by its name: a held lock is waited for first.
    targets_.simulators->pause(index);
    agent.stop();
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (lockHolders_[station.database] == 0) break;
        }
        if (std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(100ms);
    }
    static std::atomic<int> restores{0};
    const auto kept = targets_.restoredFolder / station.name / (std::to_string(++restores) + ".db");
    try {
        copyDatabase(station.database, kept);
        restoreDatabase(station.database, *backup);
    } catch (...) {
        agent.start();
        targets_.simulators->resume(index);
        throw;
    }
    note(f.kind, station.name);
    agent.killHard();  // one its own restart started meanwhile
    agent.start();
    note("restart", station.name);
    targets_.simulators->resume(index);
}

void FaultRunner::longOutage(const PlannedFault& f) {
    // The backlog: every sale the tills closed before the server stopped,
    // and those closed while it is down.
    std::vector<long long> backlog;
    for (const auto& a : agents_) {
        try {
            backlog.push_back(lastSale(a->station().database));
        } catch (const std::exception&) {
            backlog.push_back(0);  // being restored: its sales come back waiting anyway
        }
    }
    server_.stop();
    const auto stoppedAt = SystemClock().now();
    std::this_thread::sleep_for(std::chrono::milliseconds(f.parameter));
    server_.start();
    const auto back = std::chrono::steady_clock::now();
    note("restart", "server");
    // Drained once none of the sales closed before the stop waits. Measured
    // beside the lane's next faults, which the drain meets as a store would.
    std::vector<std::filesystem::path> databases;
    for (const auto& a : agents_) databases.push_back(a->station().database);
    std::lock_guard lock(mutex_);
    locks_.emplace_back([this, databases, backlog, back, stoppedAt, kind = std::string(f.kind)] {
        auto drained = [&]() -> std::optional<std::chrono::steady_clock::time_point> {
            for (std::size_t i = 0; i < databases.size(); ++i) {
                try {
                    if (salesWaitingUpTo(databases[i], backlog[i]) > 0) return std::nullopt;
                } catch (const std::exception&) {
                    return std::nullopt;  // a station being restored: asked again
                }
            }
            return std::chrono::steady_clock::now();
        };
        const auto at = await(drained, std::chrono::minutes(10));
        journal_.add({stoppedAt, kind, "server", secondsOrNone(back, at)});
    });
}

void FaultRunner::centralRestore(const PlannedFault& f) {
    if (targets_.centralBackups == nullptr)
        throw Error("the central store has no copies in this run");
    std::vector<StationFolder> stations;
    for (const auto& a : agents_) stations.push_back(a->station());
    const auto restoredAt = SystemClock().now();
    if (!targets_.centralBackups->restore(std::chrono::seconds(f.parameter), server_, stations)) {
        miss(f.kind);  // no copy taken yet
        return;
    }
    const auto back = std::chrono::steady_clock::now();
    note("restart", "server");
    // Healed once every agent has reconciled on the true day since the
    // restore and the sales its station had closed by then (those it made
    // wait again among them) are sent. Measured beside the lane's next faults.
    std::lock_guard lock(mutex_);
    locks_.emplace_back([this, stations, back, restoredAt, kind = std::string(f.kind)] {
        std::vector<std::optional<long long>> backlog(stations.size());
        auto healed = [&]() -> std::optional<std::chrono::steady_clock::time_point> {
            bool all = true;
            for (std::size_t i = 0; i < stations.size(); ++i) {
                try {
                    if (!backlog[i] && reconciledToday(stations[i]))
                        backlog[i] = lastSale(stations[i].database);
                    if (!backlog[i] || salesWaitingUpTo(stations[i].database, *backlog[i]) > 0)
                        all = false;
                } catch (const std::exception&) {
                    all = false;  // a station being restored: asked again
                }
            }
            if (!all) return std::nullopt;
            return std::chrono::steady_clock::now();
        };
        const auto at = await(healed, std::chrono::minutes(10));
        journal_.add({restoredAt, kind, "all", secondsOrNone(back, at)});
    });
}

void FaultRunner::proxyFault(const PlannedFault& f) {
    const ProxyFault fault = *proxyFaultOf(f.kind);
    const int before = proxy_.fired()[fault];
    proxy_.arm(fault, static_cast<int>(f.parameter));
    // The next request of any agent meets the fault: at most a few periods.
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(4 * timerSeconds_ + 30);
    while (std::chrono::steady_clock::now() < until) {
        if (proxy_.fired()[fault] > before) {
            note(f.kind, "all");
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    proxy_.disarm();
    miss(f.kind);
}

void FaultRunner::crashPoint(AgentControl& agent, const PlannedFault& f) {
    const std::string point(f.kind.substr(std::string_view("agent-kill-").size()));
    const std::string name = agent.station().name;
    // The agent reaches its acknowledgement in every run with rows, its
    // cleanup only when the server says it is due. A pass that did not come
    // in time is tried once more at the first arrival.
    for (const std::int64_t pass : {f.parameter, std::int64_t{1}}) {
        agent.stop();
        const pid_t pid = agent.start({"QELEXP_CRASH_AT=" + point + ":" + std::to_string(pass)});
        const auto status =
            agent.waitFor(pid, std::chrono::seconds(timerSeconds_ * (3 + 2 * pass) + 60));
        if (status && status->signaled && status->code == SIGKILL) {
            note(f.kind, name);
            agent.start();
            note("restart", name);
            return;
        }
        agent.killHard();
    }
    miss(f.kind);
    agent.start();
    note("restart", name);
}

}  // namespace qel::chaos
