#include "fault_runner.h"

#include <signal.h>

#include <thread>

#include "core/clock.h"
#include "fault_proxy/fault_proxy.h"
#include "station_faults.h"

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
                         int timerSeconds)
    : proxy_(proxy),
      server_(server),
      agents_(agents),
      journal_(journal),
      timerSeconds_(timerSeconds) {}

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

void FaultRunner::note(std::string_view kind, const std::string& target) {
    journal_.add({SystemClock().now(), std::string(kind), target});
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
    AgentControl& agent = *agents_.at(static_cast<std::size_t>(f.agent));
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
        locks_.emplace_back([database, hold] {
            try {
                holdExclusiveLock(database, hold);
            } catch (const std::exception&) {
                // Another lock on the same file held it past our own wait.
            }
        });
    } else if (f.kind == "log-unwritable") {
        UnwritableFolder folder(agent.station().folder / "Dados" / "Qel_Exp");
        note(f.kind, name);
        std::this_thread::sleep_for(std::chrono::milliseconds(f.parameter));
        folder.restore();
    }
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
