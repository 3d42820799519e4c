#pragma once

// The state a FaultProxy shares with its connection threads.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fault_proxy/fault_proxy.h"

namespace qel::faults {

struct ArmedFault {
    ProxyFault fault = ProxyFault::None;
    int delayMs = 0;
};

struct Upstream {
    std::string host;
    int port = 0;
};

class ProxyState {
  public:
    ProxyState(Upstream upstream, std::uint64_t seed)
        : upstream_(std::move(upstream)), rng_(seed) {}

    Upstream upstream() const;
    void setUpstream(Upstream upstream);

    void arm(ArmedFault fault);
    void disarm();
    std::size_t armedCount() const;
    void setRandomFaults(double rate, std::vector<ProxyFault> faults, int delayMs);
    // The fault for the next call: the oldest armed one, else a random one.
    ArmedFault takeFault();
    // A fault taken for a call that failed before the fault could act.
    void giveBack(ArmedFault fault);

    void countFired(ProxyFault fault);
    void countForwarded(std::uint64_t bodyBytes);
    void countBodyBytes(std::uint64_t bodyBytes);  // a part of a body, the request not whole
    std::map<ProxyFault, int> fired() const;
    std::uint64_t requestsForwarded() const;
    std::uint64_t requestBytes() const;

    // A number from the seeded generator.
    std::uint64_t draw();

    // Sockets of live connections, so that stop() can wake their threads.
    void track(int fd);
    // Forgets and closes the socket; resetting sends RST instead of FIN.
    void release(int fd, bool reset = false);
    bool stopping() const;
    void stop();  // wakes every tracked socket and every sleeping delay
    // Sleeps for the delay unless stop() comes first; false when it did.
    bool sleepUnlessStopped(std::chrono::milliseconds delay);

  private:
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    Upstream upstream_;
    std::mt19937_64 rng_;
    std::deque<ArmedFault> armed_;
    double randomRate_ = 0;
    std::vector<ProxyFault> randomFaults_;
    int randomDelayMs_ = 0;
    std::map<ProxyFault, int> fired_;
    std::uint64_t forwarded_ = 0;
    std::uint64_t bodyBytes_ = 0;
    std::set<int> sockets_;
};

}  // namespace qel::faults
