#include "fault_proxy/fault_proxy.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <list>
#include <thread>

#include "loopback/loopback.h"
#include "proxy_session.h"
#include "proxy_state.h"
#include "socket_io.h"

namespace qel::faults {

struct FaultProxy::Impl {
    // A connection's thread; `done` lets the listener join it once finished.
    struct Connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    Impl(Upstream upstream, std::uint64_t seed, int listenPort)
        : state(std::move(upstream), seed), listener(loopback::listen(listenPort)) {
        if (::pipe2(wake, O_CLOEXEC) != 0) {
            ::close(listener.fd);
            throw std::runtime_error("pipe");
        }
        acceptor = std::thread([this] { acceptLoop(); });
    }

    ~Impl() {
        state.stop();
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(wake[1], &byte, 1);
        acceptor.join();
        for (auto& c : connections) c.thread.join();
        ::close(listener.fd);
        ::close(wake[0]);
        ::close(wake[1]);
    }

    void acceptLoop() {
        pollfd watched[2] = {{listener.fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        while (!state.stopping()) {
            if (::poll(watched, 2, -1) < 0 && errno != EINTR) return;
            if (watched[1].revents != 0) return;
            if (watched[0].revents == 0) continue;
            const int client = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            noDelay(client);
            state.track(client);
            joinFinished();
            auto& c = connections.emplace_back();
            c.thread = std::thread([this, client, &c] {
                serveConnection(state, client);
                c.done = true;
            });
        }
    }

    // Connections come and go all through a long run; their threads do not pile up.
    void joinFinished() {
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->done) {
                it->thread.join();
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }

    ProxyState state;
    loopback::Listener listener;
    int wake[2] = {-1, -1};
    std::list<Connection> connections;  // touched by the accepting thread, then the destructor
    std::thread acceptor;
};

FaultProxy::FaultProxy(std::string upstreamHost, int upstreamPort, std::uint64_t seed,
                       int listenPort)
    : impl_(std::make_unique<Impl>(Upstream{std::move(upstreamHost), upstreamPort}, seed,
                                   listenPort)) {}

FaultProxy::~FaultProxy() = default;

int FaultProxy::port() const {
    return impl_->listener.port;
}

void FaultProxy::setUpstream(std::string host, int port) {
    impl_->state.setUpstream({std::move(host), port});
}

void FaultProxy::arm(ProxyFault fault, int delayMs) {
    impl_->state.arm({fault, delayMs});
}

void FaultProxy::disarm() {
    impl_->state.disarm();
}

std::size_t FaultProxy::armedCount() const {
    return impl_->state.armedCount();
}

void FaultProxy::setRandomFaults(double rate, std::vector<ProxyFault> faults, int delayMs) {
    impl_->state.setRandomFaults(rate, std::move(faults), delayMs);
}

std::map<ProxyFault, int> FaultProxy::fired() const {
    return impl_->state.fired();
}

std::uint64_t FaultProxy::requestsForwarded() const {
    return impl_->state.requestsForwarded();
}

std::uint64_t FaultProxy::requestBytes() const {
    return impl_->state.requestBytes();
}

}  // namespace qel::faults
