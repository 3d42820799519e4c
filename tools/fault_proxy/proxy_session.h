#pragma once

#include "proxy_state.h"

namespace qel::faults {

// Serves one client connection until it ends: connects to the server, then
// relays one exchange after the other, applying to each call the fault it
// takes from the state. Closes the client's socket (tracked in `state`).
void serveConnection(ProxyState& state, int clientFd);

}  // namespace qel::faults
