#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent_control.h"
#include "journal.h"
#include "lock_spans.h"
#include "schedule.h"
#include "server_control.h"

namespace qel::faults {
class FaultProxy;
}

namespace qel::chaos {

class CentralBackups;
class ExportWatcher;
class MachineClock;
class Simulators;
class StationBackups;
class TmpfsDisk;

// What the faults done to machines act on, beside the proxy, the server and
// the agents. A part left out makes its faults throw.
struct FaultTargets {
    Simulators* simulators = nullptr;
    ExportWatcher* watcher = nullptr;
    MachineClock* serverClock = nullptr;
    std::vector<MachineClock*> agentClocks;  // by agent
    std::vector<TmpfsDisk*> stationDisks;    // by agent
    TmpfsDisk* centralDisk = nullptr;        // a SQLite central store's disk
    StationBackups* backups = nullptr;
    std::filesystem::path restoredFolder;  // station files as a restore found them
    std::function<void(std::chrono::milliseconds)> restartCentral;  // a PostgreSQL cluster
    CentralBackups* centralBackups = nullptr;  // copies a central restore puts back
};

// Fires planned faults and journals each one that really happened. A fault
// that could not be made to happen (the agent never reached its crash point,
// no request came through the proxy in time) is counted as missed instead.
class FaultRunner {
  public:
    FaultRunner(faults::FaultProxy& proxy, ServerControl& server,
                std::vector<std::unique_ptr<AgentControl>>& agents, Journal& journal,
                int timerSeconds, FaultTargets targets = {});

    ~FaultRunner();
    void fire(const PlannedFault& fault);
    // Waits for the locks still held and the drains still measured.
    void finish();
    std::map<std::string, int> missed() const;

  private:
    void proxyFault(const PlannedFault& f);
    void crashPoint(AgentControl& agent, const PlannedFault& f);
    void agentClockStep(AgentControl& agent, const PlannedFault& f);
    void serverClockStep(const PlannedFault& f);
    void diskFull(TmpfsDisk& disk, const PlannedFault& f, const std::string& target);
    void restoreBackup(std::size_t index, const PlannedFault& f);
    void longOutage(const PlannedFault& f);
    void centralRestore(const PlannedFault& f);
    void note(std::string_view kind, const std::string& target,
              std::optional<double> measured = std::nullopt);
    void miss(std::string_view kind);

    faults::FaultProxy& proxy_;
    ServerControl& server_;
    std::vector<std::unique_ptr<AgentControl>>& agents_;
    Journal& journal_;
    int timerSeconds_;
    FaultTargets targets_;
    mutable std::mutex mutex_;
    std::map<std::string, int> missed_;
    // Beside the lane's next faults: a lock held, an outage's drain measured.
    std::vector<std::thread> locks_;
    std::map<std::filesystem::path, int> lockHolders_;  // lock threads still at a database
    LockSpans lockSpans_;
};

}  // namespace qel::chaos
