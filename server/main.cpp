// qelexp-server: the application server the station agents export to.

#include <pthread.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "application_server.h"
#include "central_store.h"
#include "core/clock.h"
#include "core/error.h"
#include "http_server.h"
#include "monitoring.h"
#include "store_check.h"

namespace {

constexpr const char* kUsage = R"(Usage: qelexp-server [options]

Serves the objects Exp.rdmInsereServidor, AJU.rdmAjusteDiferencas and
FID.rdmAtualizaPontuacao over HTTP(S) (docs/protocol.md) and keeps what the
stations send in a central database.

Options:
  --listen ADDRESS        address to listen on (default 0.0.0.0)
  --port N                port (default 211)
  --db FILE|URI           central database: a SQLite file (default
                          qelexp-central.db) or postgresql://user@host/db
  --cert FILE --key FILE  serve HTTPS with this certificate and private key
  --credentials FILE      require a station credential on every request; the
                          file lists "<token> <CDFILIAL> <CDCAIXA>[,...]|*"
  --operator-credentials FILE
                          tokens (one a line) that open /fleet and /metrics;
                          with --credentials and no operator token both pages
                          are closed
  --silent-minutes N      mark stations silent after N minutes (default 60)
  --max-request-mb N      largest request body accepted, on the wire and
                          unpacked (default 64)
  --max-inflight-mb N     memory all requests being read and decoded at once
                          may hold; past it large requests answer 503 (default 768)
  --threads N             threads running calls (default 8); waiting
                          connections take no thread
  --header-timeout S      seconds a new connection has to send its first
                          request head (default 10)
  --read-timeout S        seconds a request body may take to arrive (default 60)
  --quiet                 no log line per call
  --help                  this text

One line per call goes to standard output: station, call, rows, milliseconds
and HTTP status. SIGINT or SIGTERM stops the server.
)";

int parseInt(const std::string& option, const char* value, long low = 0, long high = 1'000'000) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(value, &end, 10);
    if (*value == '\0' || *end != '\0' || errno != 0 || v < low || v > high) {
        throw qel::ConfigError("Invalid value for " + option + ": " + value + " (" +
                               std::to_string(low) + " to " + std::to_string(high) + ")");
    }
    return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen = "0.0.0.0";
    int port = 211;
    std::string db = "qelexp-central.db";
    std::string credentialsFile;
    std::string operatorFile;
    qel::server::MonitoringOptions monitoring;
    bool quiet = false;
    qel::server::HttpServerOptions options;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--help" || arg == "-h") {
                std::cout << kUsage;
                return 0;
            }
            if (arg == "--quiet") {
                quiet = true;
                continue;
            }
            if (i + 1 >= argc) throw qel::ConfigError("Missing value for " + arg);
            const char* value = argv[++i];
            if (arg == "--listen") {
                listen = value;
            } else if (arg == "--port") {
                port = parseInt(arg, value, 1, 65535);
            } else if (arg == "--db") {
                db = value;
            } else if (arg == "--cert") {
                options.certFile = value;
            } else if (arg == "--key") {
                options.keyFile = value;
            } else if (arg == "--credentials") {
                credentialsFile = value;
            } else if (arg == "--operator-credentials") {
                operatorFile = value;
            } else if (arg == "--silent-minutes") {
                monitoring.silentMinutes = parseInt(arg, value);
            } else if (arg == "--max-request-mb") {
                options.maxRequestBytes = static_cast<std::size_t>(parseInt(arg, value, 1, 4096))
                                          << 20;
            } else if (arg == "--max-inflight-mb") {
                options.maxInFlightBytes =
                    static_cast<std::size_t>(parseInt(arg, value, 1, 1 << 20)) << 20;
            } else if (arg == "--threads") {
                options.workerThreads = parseInt(arg, value, 1, 1024);
            } else if (arg == "--header-timeout") {
                options.headerTimeoutSeconds = parseInt(arg, value, 1, 3600);
            } else if (arg == "--read-timeout") {
                options.readTimeoutSeconds = parseInt(arg, value, 1, 86400);
            } else {
                throw qel::ConfigError("Unknown option " + arg + " (see --help)");
            }
        }
        if (options.certFile.empty() != options.keyFile.empty()) {
            throw qel::ConfigError("--cert and --key go together");
        }
        if (!credentialsFile.empty()) {
            options.credentials = qel::server::Credentials::load(credentialsFile);
            monitoring.requireOperator = true;
        }
        if (!operatorFile.empty()) {
            monitoring.operatorTokens = qel::server::loadOperatorTokens(operatorFile);
        }
        if (!quiet) {
            options.log = [](const std::string& line) {
                const std::string stamp = qel::SystemClock().now().toIso();
                std::printf("%s %s\n", stamp.c_str(), line.c_str());
                std::fflush(stdout);
            };
        }

        // Signals are taken by a dedicated thread, so stopping happens outside
        // a signal handler.
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);

        qel::SystemClock clock;
        if (!qel::server::isPostgresLocation(db)) qel::server::requireCentralStoreOrEmpty(db);
        auto store = qel::server::openCentralStore(db);
        qel::server::ApplicationServer app(*store, clock);
        qel::server::Monitoring monitor(*store, clock, monitoring);
        monitor.install(options);
        qel::server::HttpServer server(app, options);
        server.bind(listen, port);
        std::thread waiter([&] {
            int received = 0;
            sigwait(&signals, &received);
            server.stop();
        });
        std::printf("qelexp-server listening on %s:%d (%s), central store %s\n", listen.c_str(),
                    port, options.certFile.empty() ? "http" : "https",
                    qel::server::isPostgresLocation(db) ? "PostgreSQL" : db.c_str());
        std::fflush(stdout);
        server.run();
        pthread_kill(waiter.native_handle(), SIGTERM);
        waiter.join();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qelexp-server: %s\n", e.what());
        return 1;
    }
}
