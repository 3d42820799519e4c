#pragma once

#include <sys/types.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "process.h"
#include "station_setup.h"

namespace qel::chaos {

// The point-of-sale programs of the store: one live simulator per station
// database, together selling `rate` sales a second.
class Simulators {
  public:
    Simulators(Processes& processes, std::filesystem::path executable,
               const std::vector<StationFolder>& stations, double rate);

    void start();
    // Starts again a simulator that ended (a lock held beyond its busy
    // timeout makes it give up).
    void ensureRunning();
    void stop();
    // Stops the simulator of station `i` until resume(i) (its database is
    // being replaced), and starts it again.
    void pause(std::size_t i);
    void resume(std::size_t i);
    int restarts() const { return restarts_; }

  private:
    pid_t startOne(std::size_t i);
    void stopOne(pid_t pid);

    Processes& processes_;
    std::filesystem::path executable_;
    std::vector<StationFolder> stations_;
    double rate_;
    std::mutex mutex_;
    std::vector<pid_t> pids_;
    std::vector<bool> paused_;
    int restarts_ = 0;
};

// After the faults and the sales stop: waits until no row waits at any
// station and every agent has completed an export since, or the time is up.
// Returns whether the drain completed.
bool drain(const std::vector<StationFolder>& stations,
           const std::vector<class AgentControl*>& agents, const class ExportWatcher& watcher,
           int timerSeconds);

}  // namespace qel::chaos
