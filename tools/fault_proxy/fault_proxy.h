#pragma once

// A TCP proxy on loopback between the station agent and the application
// server that, on command, breaks the next method call at a chosen point:
// while the request is sent, after the server has answered (and committed),
// in the middle of the answer; or delays, refuses or garbles the answer.
// It understands HTTP/1.1 framing, so every call on a kept-alive connection
// is a request of its own that a fault can target.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel::faults {

enum class ProxyFault {
    None,
    CutDuringRequest,  // forward the headers and part of the body, then close both sides
    CutAfterCommit,    // forward the whole request, read the whole answer (the server has
                       // committed), then close the client side without a byte of it
    CutMidAnswer,      // send the answer's headers and part of its body, then close
    Delay,             // hold the answer delayMs before forwarding it whole
    ServerError,       // answer "503 Service Unavailable" without reaching the server
    MalformedAnswer,   // a whole, well-framed answer whose body is corrupted (seeded)
    PartialAnswer,     // a well-framed answer whose body is a truncated copy of the real one
    Reset,             // close the client connection with RST (SO_LINGER 0) mid-request
};

// Stable names ("cut-during-request", "cut-after-commit", ...) for command
// lines and reports.
const char* faultName(ProxyFault);
std::optional<ProxyFault> faultFromName(std::string_view);
// Every fault but None, in declaration order.
const std::vector<ProxyFault>& allFaults();

// Faults apply to method calls (requests with a body, i.e. POST /call/...);
// other requests such as GET /health pass through untouched and take no
// armed fault. Every member is safe to call from any thread.
class FaultProxy {
  public:
    // Listens on 127.0.0.1:listenPort (0: an ephemeral port); throws
    // std::runtime_error when it cannot. The seed drives every random choice
    // (cut points, corruptions, random faults).
    FaultProxy(std::string upstreamHost, int upstreamPort, std::uint64_t seed = 1,
               int listenPort = 0);
    ~FaultProxy();  // stops accepting, closes every connection, joins its threads
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    int port() const;  // the listening port on 127.0.0.1
    // Connections accepted from now on go to this server.
    void setUpstream(std::string host, int port);

    // Queued: each call takes the oldest armed fault. None takes a place in
    // the queue without breaking anything, so arm(None), arm(X) hits the
    // second call. A fault whose call never reaches the point where it acts
    // (the server is down) stays queued for the next call.
    void arm(ProxyFault fault, int delayMs = 0);
    void disarm();                   // drops every queued fault
    std::size_t armedCount() const;  // faults still queued

    // When no fault is queued, a call gets one of `faults` (chosen by the
    // seeded generator) with probability `rate`; rate 0 turns this off.
    void setRandomFaults(double rate, std::vector<ProxyFault> faults, int delayMs = 500);

    std::map<ProxyFault, int> fired() const;  // faults applied so far (None never counts)
    std::uint64_t requestsForwarded() const;  // requests forwarded whole to the server
    std::uint64_t requestBytes() const;       // body bytes forwarded upstream

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qel::faults
