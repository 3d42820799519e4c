#include "agent_control.h"

#include <signal.h>

#include <thread>

#include "core/clock.h"

namespace qel::chaos {

AgentControl::AgentControl(const StationFolder& station, Processes& processes, Journal& journal,
                           int timerSeconds)
    : station_(station), processes_(processes), journal_(journal), timerSeconds_(timerSeconds) {}

pid_t AgentControl::start(const std::vector<std::string>& env) {
    std::vector<std::string> all = {"QELEXP_REGISTRY=" + station_.registry.string(),
                                    "QELEXP_LOCK_DIR=" + station_.folder.string(),
                                    "QELEXP_TIMER_SECONDS=" + std::to_string(timerSeconds_)};
    all.insert(all.end(), environment_.begin(), environment_.end());
    all.insert(all.end(), env.begin(), env.end());
    return processes_.spawn(
        {station_.agent.string(), "X_" + station_.store + "_" + station_.station + "_01_"},
        station_.folder, all, station_.folder / "agent.out");
}

bool AgentControl::ensureRunning() {
    if (running()) return false;
    // The agent's own restart ends it and starts a new one a moment later;
    // give that new one the chance to appear before starting one here.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (running()) return false;
    start();
    ++unplannedRestarts_;
    journal_.add({SystemClock().now(), "restart", station_.name, std::nullopt});
    return true;
}

bool AgentControl::running() const {
    return !processesRunning(station_.agent).empty();
}

void AgentControl::waitGone(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (running() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void AgentControl::killHard() {
    for (int attempt = 0; attempt < 50 && running(); ++attempt) {
        signalAll(processesRunning(station_.agent), SIGKILL);
        waitGone(std::chrono::milliseconds(200));
    }
}

void AgentControl::stop(std::chrono::seconds grace) {
    signalAll(processesRunning(station_.agent), SIGTERM);
    waitGone(grace);
    killHard();
}

std::optional<ExitStatus> AgentControl::waitFor(pid_t pid, std::chrono::milliseconds timeout) {
    return processes_.waitFor(pid, timeout);
}

}  // namespace qel::chaos
