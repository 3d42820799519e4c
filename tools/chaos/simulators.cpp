#include "simulators.h"

#include <signal.h>

#include <cstdio>
#include <iostream>
#include <thread>

#include "agent_control.h"
#include "core/clock.h"
#include "run_logs.h"

namespace qel::chaos {

using namespace std::chrono_literals;

Simulators::Simulators(Processes& processes, std::filesystem::path executable,
                       const std::vector<StationFolder>& stations, double rate)
    : processes_(processes),
      executable_(std::move(executable)),
      stations_(stations),
      rate_(rate),
      pids_(stations.size(), -1) {}

pid_t Simulators::startOne(std::size_t i) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", rate_ / static_cast<double>(stations_.size()));
    const StationFolder& s = stations_[i];
    return processes_.spawn({executable_.string(), "--db", s.database.string(), "--live", "--rate",
                             rate, "--seed", std::to_string(i + 1), "--quiet"},
                            s.folder, {}, s.folder / "simulator.log");
}

void Simulators::start() {
    for (std::size_t i = 0; i < stations_.size(); ++i) pids_[i] = startOne(i);
}

void Simulators::ensureRunning() {
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        if (pids_[i] > 0 && processes_.waitFor(pids_[i], 0ms)) {
            pids_[i] = startOne(i);
            ++restarts_;
        }
    }
}

void Simulators::stop() {
    for (pid_t pid : pids_) {
        if (pid > 0) kill(pid, SIGTERM);
    }
    for (pid_t& pid : pids_) {
        if (pid > 0 && !processes_.waitFor(pid, 30s)) {
            kill(pid, SIGKILL);
            processes_.waitFor(pid, 10s);
        }
        pid = -1;
    }
}

bool drain(const std::vector<StationFolder>& stations, const std::vector<AgentControl*>& agents,
           int timerSeconds) {
    // A sale is sent once two minute boundaries have passed since it was
    // written; then a few periods for transfers that failed.
    const auto deadline =
        std::chrono::steady_clock::now() + 4min + std::chrono::seconds(20 * timerSeconds);
    bool empty = false;
    DateTime emptySince;
    while (std::chrono::steady_clock::now() < deadline) {
        for (AgentControl* a : agents) a->ensureRunning();
        long long waiting = 0;
        for (const StationFolder& s : stations) waiting += waitingRows(s.database);
        if (waiting > 0) {
            empty = false;
        } else if (!empty) {
            empty = true;
            emptySince = SystemClock().now();
        } else {
            bool allExported = true;
            for (const StationFolder& s : stations) {
                const auto done = completedExports(s.folder);
                allExported =
                    allExported && !done.empty() && done.back() > emptySince.addSeconds(1);
            }
            if (allExported) return true;
        }
        std::this_thread::sleep_for(2s);
    }
    std::cout << "the drain did not complete in time\n";
    return false;
}

}  // namespace qel::chaos
