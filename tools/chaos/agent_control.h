#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "journal.h"
#include "process.h"
#include "station_setup.h"

namespace qel::chaos {

// Starts, stops and kills the resident agent of one station, and starts it
// again whenever it is found gone (killed, crashed, or between the two
// halves of its own restart), journalling each such restart.
class AgentControl {
  public:
    AgentControl(const StationFolder& station, Processes& processes, Journal& journal,
                 int timerSeconds);

    const StationFolder& station() const { return station_; }
    // Added to the environment of every start from now on (its machine's clock).
    void setEnvironment(std::vector<std::string> env) { environment_ = std::move(env); }

    // Starts the agent with `env` added (a crash point); returns its pid.
    pid_t start(const std::vector<std::string>& env = {});
    // Starts it when no agent of this station runs; true when it did.
    bool ensureRunning();
    // SIGKILL to every process of this station's agent; waits until gone.
    void killHard();
    // SIGTERM (the agent finishes its cycle first), then SIGKILL after `grace`.
    void stop(std::chrono::seconds grace = std::chrono::seconds(90));
    bool running() const;
    // How `pid` (started by start()) ended, waiting at most `timeout`.
    std::optional<ExitStatus> waitFor(pid_t pid, std::chrono::milliseconds timeout);

    int unplannedRestarts() const { return unplannedRestarts_; }

  private:
    void waitGone(std::chrono::milliseconds timeout);

    StationFolder station_;
    Processes& processes_;
    Journal& journal_;
    int timerSeconds_;
    std::vector<std::string> environment_;
    int unplannedRestarts_ = 0;
};

}  // namespace qel::chaos
