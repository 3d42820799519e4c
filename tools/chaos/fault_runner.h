#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_control.h"
#include "journal.h"
#include "schedule.h"
#include "server_control.h"

namespace qel::faults {
class FaultProxy;
}

namespace qel::chaos {

// Fires planned faults and journals each one that really happened. A fault
// that could not be made to happen (the agent never reached its crash point,
// no request came through the proxy in time) is counted as missed instead.
class FaultRunner {
  public:
    FaultRunner(faults::FaultProxy& proxy, ServerControl& server,
                std::vector<std::unique_ptr<AgentControl>>& agents, Journal& journal,
                int timerSeconds);

    ~FaultRunner();
    void fire(const PlannedFault& fault);
    // Waits for the locks still held.
    void finish();
    std::map<std::string, int> missed() const;

  private:
    void proxyFault(const PlannedFault& f);
    void crashPoint(AgentControl& agent, const PlannedFault& f);
    void note(std::string_view kind, const std::string& target);
    void miss(std::string_view kind);

    faults::FaultProxy& proxy_;
    ServerControl& server_;
    std::vector<std::unique_ptr<AgentControl>>& agents_;
    Journal& journal_;
    int timerSeconds_;
    mutable std::mutex mutex_;
    std::map<std::string, int> missed_;
    std::vector<std::thread> locks_;  // a lock is held beside the lane's next faults
};

}  // namespace qel::chaos
