#pragma once

// TCP on 127.0.0.1, as the tests, tools and benchmarks reach the server and
// each other: listen on a port, connect to one, ask whether one answers.
// POSIX sockets; nothing here leaves the machine.

namespace qel::loopback {

// A listening socket and the port it got.
struct Listener {
    int fd = -1;
    int port = 0;
};

// Listens on 127.0.0.1:`port` (0: a port the system chooses); throws
// std::runtime_error saying why it cannot.
Listener listen(int port = 0, int backlog = 64);

// A socket connected to 127.0.0.1:`port`, or -1 when nothing accepts there
// (on loopback a refusal comes at once).
int connect(int port);

// Whether something accepts connections on 127.0.0.1:`port` now.
bool accepts(int port);

// A port of 127.0.0.1 that is free at the moment of asking; throws
// std::runtime_error when the system gives none.
int freePort();

}  // namespace qel::loopback
