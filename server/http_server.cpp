#include "http_server.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "connection_room.h"
#include "core/error.h"
#include "http_session.h"

namespace qel::server {

using namespace detail;
using tcp = asio::ip::tcp;

struct HttpServer::Impl {
    Impl(ApplicationServer& app, HttpServerOptions opts)
        : options(std::move(opts)),
          credentials(options.credentials
                          ? std::make_unique<SharedCredentials>(*options.credentials)
                          : nullptr),
          budget(options.maxInFlightBytes),
          packets(budget),
          workers(static_cast<std::size_t>(options.workerThreads > 0 ? options.workerThreads : 1)),
          shared{
              app,
              options,
              credentials.get(),
              CallLimits{options.maxRequestBytes, decodedLimit(options), options.compressAnswers},
              budget,
              packets,
              workers,
              connections,
              room} {}

    static std::size_t decodedLimit(const HttpServerOptions& o) {
        return o.maxDecodedBytes ? o.maxDecodedBytes : 8 * o.maxRequestBytes;
    }

    void accept() {
        acceptor->async_accept(asio::make_strand(*io), [this](beast::error_code ec,
                                                              tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
            if (ec) {
                // Out of descriptors or similar: retry shortly instead of spinning.
                retry->expires_after(std::chrono::milliseconds(100));
                retry->async_wait([this](beast::error_code e) {
                    if (!e) accept();
                });
                return;
            }
            const auto remote = socket.remote_endpoint(ec);
            const std::string address = ec ? std::string() : remote.address().to_string();
            if (ec || !room->makeRoom(address, connections.load())) {
                socket.close(ec);
            } else {
                connections.fetch_add(1);
                socket.set_option(tcp::no_delay(true), ec);
                if (tls) {
                    std::make_shared<Session<TlsStream>>(shared, TlsStream(std::move(socket), *tls))
                        ->start();
                } else {
                    std::make_shared<Session<PlainStream>>(shared, PlainStream(std::move(socket)))
                        ->start();
                }
            }
            accept();
        });
    }

    HttpServerOptions options;
    std::unique_ptr<SharedCredentials> credentials;
    MemoryBudget budget;
    PacketArrayCache packets;
    std::atomic<std::size_t> connections{0};
    std::optional<ConnectionRoom> room;  // sized at start
    std::optional<asio::ssl::context> tls;
    // Destroyed in reverse order: the worker pool (whose queued calls hold
    // sessions) before the io_context their sockets belong to.
    std::unique_ptr<asio::io_context> io = std::make_unique<asio::io_context>();
    std::optional<tcp::acceptor> acceptor{std::in_place, *io};
    std::optional<asio::steady_timer> retry{std::in_place, *io};
    asio::thread_pool workers;
    SessionShared shared;
    std::vector<std::thread> threads;
    std::mutex stateMutex;
    std::condition_variable stoppedChanged;
    bool started = false;
    bool stopped = false;
};

HttpServer::HttpServer(ApplicationServer& app, HttpServerOptions options)
    : impl_(std::make_unique<Impl>(app, std::move(options))) {
    const HttpServerOptions& o = impl_->options;
    if (!o.certFile.empty() || !o.keyFile.empty()) {
        try {
            impl_->tls.emplace(asio::ssl::context::tls_server);
            impl_->tls->set_options(asio::ssl::context::default_workarounds |
                                    asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                                    asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
            impl_->tls->use_certificate_chain_file(o.certFile);
            impl_->tls->use_private_key_file(o.keyFile, asio::ssl::context::pem);
        } catch (const std::exception& e) {
            throw ConfigError("Cannot load the TLS certificate " + o.certFile + " and key " +
                              o.keyFile + ": " + e.what());
        }
    }
}

HttpServer::~HttpServer() {
    stop();
}

void HttpServer::bind(const std::string& host, int port) {
    if (!impl_->acceptor) throw ConfigError("The server was stopped");
    const std::string where = host + ":" + std::to_string(port);
    if (port < 1 || port > 65535) {
        throw ConfigError("Cannot listen on " + where + ": the port must be 1 to 65535");
    }
    beast::error_code ec;
    tcp::resolver resolver(*impl_->io);
    const auto found = resolver.resolve(
        host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty()) {
        throw ConfigError("Cannot listen on " + where + ": unknown address (" + ec.message() + ")");
    }
    const tcp::endpoint endpoint = found.begin()->endpoint();
    tcp::acceptor& acceptor = *impl_->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    // Lets a restarted server bind while old connections linger in
    // TIME_WAIT; it never lets two listening sockets share the port.
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        beast::error_code ignored;
        acceptor.close(ignored);
        std::string why = ec.message();
        if (ec == asio::error::address_in_use) {
            why = "the port is already in use (is another server running?)";
        } else if (ec == asio::error::access_denied) {
            why = port < 1024 ? "permission denied (ports below 1024 need root or the "
                                "CAP_NET_BIND_SERVICE capability)"
                              : "permission denied";
        } else if (ec == boost::system::errc::address_not_available) {
            why = "this machine has no such address";
        }
        throw ConfigError("Cannot listen on " + where + ": " + why);
    }
    port_ = acceptor.local_endpoint().port();
}

int HttpServer::bindToAnyPort(const std::string& host) {
    if (!impl_->acceptor) throw ConfigError("The server was stopped");
    beast::error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (ec) throw ConfigError("Cannot listen on " + host + ": not a numeric address");
    tcp::acceptor& acceptor = *impl_->acceptor;
    const tcp::endpoint endpoint(address, 0);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw ConfigError("Cannot listen on " + host + ": " + ec.message());
    port_ = acceptor.local_endpoint().port();
    return port_;
}

void HttpServer::start() {
    std::lock_guard lock(impl_->stateMutex);
    if (impl_->started) return;
    if (impl_->stopped) throw ConfigError("The server was stopped");
    if (!impl_->acceptor->is_open()) throw ConfigError("The server is not bound to a port");
    impl_->started = true;
    const HttpServerOptions& o = impl_->options;
    const std::size_t cap =
        server::connectionCap(o.maxConnections, descriptorLimit(), openDescriptors());
    impl_->room.emplace(cap, o.maxWaitingPerAddress ? o.maxWaitingPerAddress : cap / 4);
    impl_->accept();
    const int n = impl_->options.ioThreads > 0 ? impl_->options.ioThreads : 1;
    for (int i = 0; i < n; ++i) impl_->threads.emplace_back([io = impl_->io.get()] { io->run(); });
}

void HttpServer::run() {
    start();
    std::unique_lock lock(impl_->stateMutex);
    impl_->stoppedChanged.wait(lock, [this] { return impl_->stopped; });
}

void HttpServer::stop() {
    std::lock_guard lock(impl_->stateMutex);
    if (impl_->stopped) return;
    impl_->stopped = true;
    impl_->io->stop();
    for (std::thread& t : impl_->threads) t.join();
    impl_->threads.clear();
    // Calls still running finish; their answers are dropped with the connections.
    impl_->workers.join();
    beast::error_code ignored;
    impl_->acceptor->close(ignored);
    // Destroying the io_context destroys the pending handlers, hence the
    // sessions, and closes their sockets.
    impl_->retry.reset();
    impl_->acceptor.reset();
    impl_->io.reset();
    impl_->stoppedChanged.notify_all();
}

void HttpServer::replaceCredentials(Credentials next) {
    if (!impl_->credentials) {
        throw ConfigError("The server was started without station credentials");
    }
    impl_->credentials->replace(std::move(next));
}

std::size_t HttpServer::openConnections() const {
    return impl_->connections.load();
}

std::size_t HttpServer::memoryReserved() const {
    return impl_->budget.used();
}

std::size_t HttpServer::memoryBudget() const {
    return impl_->budget.capacity();
}

std::size_t HttpServer::connectionCap() const {
    return impl_->room ? impl_->room->cap() : 0;
}

}  // namespace qel::server
