#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/datetime.h"

namespace qel::chaos {

// Reads the agents' run logs as they grow and notes, on the orchestrator's
// own clocks, when each agent began an export run and when it completed one
// without an error line (an agent logs its success line after a run whose
// transfer failed too, the error lines before it).
// A run log's own times follow its agent's clock, which the clock faults
// step by up to a day; the moments seen here do not move with it.
class ExportWatcher {
  public:
    using Steady = std::chrono::steady_clock;

    // Agent folders by name (each has its run logs under Dados/Qel_Exp).
    explicit ExportWatcher(std::map<std::string, std::filesystem::path> agentFolders,
                           std::chrono::milliseconds every = std::chrono::milliseconds(200));
    ~ExportWatcher();
    ExportWatcher(const ExportWatcher&) = delete;
    ExportWatcher& operator=(const ExportWatcher&) = delete;

    // Reads what the logs gained since the last look (the thread does this
    // every `every`; tests call it themselves).
    void poll();

    // The first export run `agent` began after `t` (seen a poll later, so a
    // run begun just before `t` does not count).
    std::optional<Steady::time_point> runBegunAfter(const std::string& agent,
                                                    Steady::time_point t) const;
    // When `agent` completed the first export run it began after `t`.
    std::optional<Steady::time_point> exportCompletedAfter(const std::string& agent,
                                                           Steady::time_point t) const;
    // When `agent` began the first export run after `t` that completed
    // without an error line: how long a step of the server's clock held the
    // next served export back, whatever the run then took to send.
    std::optional<Steady::time_point> servedRunBegunAfter(const std::string& agent,
                                                          Steady::time_point t) const;
    // Every completed export by agent, at the local time it was seen.
    std::map<std::string, std::vector<DateTime>> completedByAgent() const;

  private:
    enum class Event { Begun, Completed };
    struct Seen {
        Steady::time_point at;
        DateTime wallAt;
        Event event;
    };
    struct Agent {
        std::filesystem::path logs;
        std::map<std::filesystem::path, std::uintmax_t> readUpTo;
        std::vector<Seen> seen;
        bool errorInRun = false;  // an error line since the last run began
    };
    void readNew(Agent& agent, Steady::time_point now, DateTime wallNow);

    std::chrono::milliseconds every_;
    mutable std::mutex mutex_;
    std::map<std::string, Agent> agents_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace qel::chaos
