#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "application_server.h"
#include "credentials.h"
#include "page_routes.h"

namespace httplib {
class Server;
}

namespace qel::server {

struct HttpServerOptions {
    std::string certFile;  // with keyFile: serve HTTPS
    std::string keyFile;
    // When set, every request needs "Authorization: Bearer <token>" with a
    // listed token, and a station may write only its own rows.
    std::optional<Credentials> credentials;
    std::size_t maxRequestBytes = 64u * 1024u * 1024u;  // decoded request body
    // A kept-alive connection holds its worker until it idles out, so there
    // should be about as many workers as stations calling at the same moment.
    int workerThreads = 64;
    int readTimeoutSeconds = 60;
    int writeTimeoutSeconds = 60;
    int keepAliveSeconds = 5;     // also bounds how long stop() waits for idle connections
    bool compressAnswers = true;  // gzip large answers for clients that accept it
    // One line per call (station, method, rows, milliseconds, status); none when empty.
    std::function<void(const std::string&)> log;
    // GET pages beside /health (path -> handler); they do their own access check.
    PageRoutes pages;
    // Told of every method call once answered (metrics).
    std::function<void(const CallRecord&)> onCall;
};

// The HTTP(S) front of the application server: POST /call/<object>/<method>
// with a MessagePack request, GET /health. See docs/protocol.md.
class HttpServer {
  public:
    HttpServer(ApplicationServer& app, HttpServerOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds a listening socket; throws ConfigError when it cannot.
    void bind(const std::string& host, int port);
    // Binds to a free port chosen by the system and returns it.
    int bindToAnyPort(const std::string& host);
    // Serves on the bound socket: in this thread until stop(), or in a background thread.
    void run();
    void start();
    // Stops serving and joins the background thread. Idempotent.
    void stop();

    int port() const { return port_; }

  private:
    void routes();

    ApplicationServer& app_;
    HttpServerOptions options_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace qel::server
