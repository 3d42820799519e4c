#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "application_server.h"
#include "credentials.h"
#include "page_routes.h"

namespace qel::server {

struct HttpServerOptions {
    std::string certFile;  // with keyFile: serve HTTPS
    std::string keyFile;
    // When set, every request needs "Authorization: Bearer <token>" with a
    // listed token, and a station may write only its own rows. The set the
    // server starts with; HttpServer::replaceCredentials changes it.
    std::optional<Credentials> credentials;
    std::size_t maxRequestBytes = 64u * 1024u * 1024u;  // request body, on the wire and unpacked
    // Memory the decoded values of one request may take (0: 8 x maxRequestBytes).
    std::size_t maxDecodedBytes = 0;
    // Memory all requests being read and decoded at once may hold; past it
    // new large requests answer 503.
    std::size_t maxInFlightBytes = 768u * 1024u * 1024u;
    // Threads running calls. Connections wait without a thread, so this is
    // about the cores and the central store, not the number of stations.
    int workerThreads = 8;
    int ioThreads = 2;              // threads reading and writing every connection
    int headerTimeoutSeconds = 10;  // a new connection's TLS handshake and first request head
    int readTimeoutSeconds = 60;    // the whole body of a request
    int writeTimeoutSeconds = 60;   // the whole answer
    int keepAliveSeconds = 5;       // a kept-alive connection idle for longer is closed
    // Connections held at once, lowered at start to what the descriptor limit
    // allows. Past it, or past an address's share of connections that have
    // not sent an accepted request yet (0: a quarter of the cap), the oldest
    // such connection is closed to make room; with none, the newcomer is.
    std::size_t maxConnections = 20000;
    std::size_t maxWaitingPerAddress = 0;
    bool compressAnswers = true;  // gzip large answers for clients that accept it
    // One line per call (station, method, rows, milliseconds, status); none when empty.
    std::function<void(const std::string&)> log;
    // GET pages beside /health (path -> handler); they do their own access check.
    PageRoutes pages;
    // Told of every method call once answered (metrics).
    std::function<void(const CallRecord&)> onCall;
};

// The HTTP(S) front of the application server: POST /call/<object>/<method>
// with a MessagePack request, GET /health. See docs/protocol.md. Connections
// are served by a few I/O threads without a thread each; calls run on a
// pool of worker threads.
class HttpServer {
  public:
    HttpServer(ApplicationServer& app, HttpServerOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds a listening socket of its own (the port is never shared with
    // another process); throws ConfigError saying why when it cannot.
    void bind(const std::string& host, int port);
    // Binds to a free port chosen by the system and returns it.
    int bindToAnyPort(const std::string& host);
    // Serves on the bound socket: until stop() (run), or in background threads (start).
    void run();
    void start();
    // Stops serving, closes every connection and joins the threads. Idempotent; final.
    void stop();

    // Checks every request from now on against `next`; requests already
    // admitted finish under the set they were admitted with. Only for a
    // server started with credentials (ConfigError otherwise).
    void replaceCredentials(Credentials next);

    int port() const { return port_; }
    // Connections open now (for tests and the load harness).
    std::size_t openConnections() const;
    // Memory the requests being read and decoded hold now, and its bound.
    std::size_t memoryReserved() const;
    std::size_t memoryBudget() const;
    // The connections it holds at once, as sized at start (0 before).
    std::size_t connectionCap() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace qel::server
