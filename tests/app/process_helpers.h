#pragma once

// What the process tests share: waiting for a real process, a free port,
// a listening server.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace qel::testing {

// Polls `done` every 20 ms for up to 3 minutes (a process works in real
// time, and a loaded build machine can slow it a lot).
template <typename Done>
bool eventually(Done done) {
    using namespace std::chrono_literals;
    for (int i = 0; i < 9000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

// A loopback port free at the moment of asking.
inline int freePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// Whether something accepts connections on the loopback port now.
inline bool acceptsConnections(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool accepted = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return accepted;
}

}  // namespace qel::testing
