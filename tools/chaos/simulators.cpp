#include "simulators.h"

#include <signal.h>

#include <cstdio>
#include <iostream>
#include <thread>

#include "agent_control.h"
#include "export_watcher.h"

namespace qel::chaos {

using namespace std::chrono_literals;

Simulators::Simulators(Processes& processes, std::filesystem::path executable,
                       const std::vector<StationFolder>& stations, double rate)
    : processes_(processes),
      executable_(std::move(executable)),
      stations_(stations),
      rate_(rate),
      pids_(stations.size(), -1),
      paused_(stations.size(), false) {}

pid_t Simulators::startOne(std::size_t i) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", rate_ / static_cast<double>(stations_.size()));
    const StationFolder& s = stations_[i];
    return processes_.spawn({executable_.string(), "--db", s.database.string(), "--live", "--rate",
                             rate, "--seed", std::to_string(i + 1), "--quiet"},
                            s.folder, {}, s.folder / "simulator.log");
}

void Simulators::start() {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < stations_.size(); ++i) pids_[i] = startOne(i);
}

void Simulators::ensureRunning() {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        if (!paused_[i] && pids_[i] > 0 && processes_.waitFor(pids_[i], 0ms)) {
            pids_[i] = startOne(i);
            ++restarts_;
        }
    }
}

void Simulators::stopOne(pid_t pid) {
    if (pid > 0 && !processes_.waitFor(pid, 30s)) {
        kill(pid, SIGKILL);
        processes_.waitFor(pid, 10s);
    }
}

void Simulators::stop() {
    std::lock_guard lock(mutex_);
    for (pid_t pid : pids_) {
        if (pid > 0) kill(pid, SIGTERM);
    }
    for (pid_t& pid : pids_) {
        stopOne(pid);
        pid = -1;
    }
}

void Simulators::pause(std::size_t i) {
    std::lock_guard lock(mutex_);
    paused_.at(i) = true;
    if (pids_[i] > 0) {
        kill(pids_[i], SIGTERM);
        stopOne(pids_[i]);
    }
    pids_[i] = -1;
}

void Simulators::resume(std::size_t i) {
    std::lock_guard lock(mutex_);
    paused_.at(i) = false;
    pids_[i] = startOne(i);
}

bool drain(const std::vector<StationFolder>& stations, const std::vector<AgentControl*>& agents,
           const ExportWatcher& watcher, int timerSeconds) {
    // A sale is sent once two minute boundaries have passed since it was
    // written; then a few periods for transfers that failed.
    const auto deadline =
        std::chrono::steady_clock::now() + 4min + std::chrono::seconds(20 * timerSeconds);
    bool empty = false;
    auto emptySince = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
        for (AgentControl* a : agents) a->ensureRunning();
        long long waiting = 0;
        for (const StationFolder& s : stations) waiting += waitingRows(s.database);
        if (waiting > 0) {
            empty = false;
        } else if (!empty) {
            empty = true;
            emptySince = std::chrono::steady_clock::now();
        } else {
            // Seen by the watcher, not by the run logs' times: those follow
            // the agents' clocks.
            bool allExported = true;
            for (const StationFolder& s : stations) {
                allExported =
                    allExported && watcher.exportCompletedAfter(s.name, emptySince).has_value();
            }
            if (allExported) return true;
        }
        std::this_thread::sleep_for(2s);
    }
    std::cout << "the drain did not complete in time\n";
    return false;
}

}  // namespace qel::chaos
