// qelexp-server: the application server the station agents export to.

#include <pthread.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "allocator.h"
#include "application_server.h"
#include "central_store.h"
#include "cli/command_line.h"
#include "connection_room.h"
#include "core/clock.h"
#include "core/error.h"
#include "credentials_reload.h"
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
  --cleanup-every-minutes N
                          lab setting for fault runs: a station's daily
                          cleanup is due again N minutes after its last one
                          (default: once per calendar day)
  --quiet                 no log line per call
  --help, -h              this text
  --version               the program's version

Options take their value as "--port 211" or "--port=211". Exit codes: 0
stopped normally, 1 failure (database, credentials, port), 2 usage error.

One line per call goes to standard output: station, call, rows, milliseconds
and HTTP status. SIGINT or SIGTERM stops the server. SIGHUP reads the
--credentials and --operator-credentials files again, as does a change to
either file (looked for every 2 seconds): new tokens work at once, removed
ones are refused from their next request, calls in flight finish, and a file
with an error leaves the tokens in use as they are (the log says why).
)";

// Options that take no value; every other option takes one.
const std::vector<qel::cli::OptionSpec> kOptions = {
    {"--listen"},
    {"--port"},
    {"--db"},
    {"--cert"},
    {"--key"},
    {"--credentials"},
    {"--operator-credentials"},
    {"--silent-minutes"},
    {"--max-request-mb"},
    {"--max-inflight-mb"},
    {"--threads"},
    {"--header-timeout"},
    {"--read-timeout"},
    {"--cleanup-every-minutes"},
    {"--quiet", false},
};

int serve(const qel::cli::ParsedOptions& given);

}  // namespace

int main(int argc, char** argv) {
    // Before any thread starts: a few arenas serve eight workers well, and
    // many would each keep the memory of the large calls they ran.
    qel::server::limitAllocatorArenas(2);
    return qel::cli::runProgram("qelexp-server", kUsage, argc, argv, kOptions, serve);
}

namespace {

int serve(const qel::cli::ParsedOptions& given) {
    using qel::cli::kExitFailure;
    const auto number = [&](std::string_view option, int fallback, int low, int high) {
        return static_cast<int>(given.integer(option, fallback, low, high));
    };
    const std::string listen = given.text("--listen", "0.0.0.0");
    const int port = number("--port", 211, 1, 65535);
    const std::string db = given.text("--db", "qelexp-central.db");
    const std::string credentialsFile = given.text("--credentials");
    const std::string operatorFile = given.text("--operator-credentials");
    qel::server::MonitoringOptions monitoring;
    monitoring.silentMinutes = given.number("--silent-minutes", monitoring.silentMinutes, 0, 1e6);
    qel::server::HttpServerOptions options;
    options.certFile = given.text("--cert");
    options.keyFile = given.text("--key");
    if (given.has("--max-request-mb")) {
        options.maxRequestBytes = static_cast<std::size_t>(number("--max-request-mb", 64, 1, 4096))
                                  << 20;
    }
    if (given.has("--max-inflight-mb")) {
        options.maxInFlightBytes =
            static_cast<std::size_t>(number("--max-inflight-mb", 768, 1, 1 << 20)) << 20;
    }
    options.workerThreads = number("--threads", options.workerThreads, 1, 1024);
    options.headerTimeoutSeconds =
        number("--header-timeout", options.headerTimeoutSeconds, 1, 3600);
    options.readTimeoutSeconds = number("--read-timeout", options.readTimeoutSeconds, 1, 86400);
    if (options.certFile.empty() != options.keyFile.empty()) {
        throw qel::cli::UsageError("--cert and --key go together");
    }
    try {
        if (!credentialsFile.empty()) {
            options.credentials = qel::server::Credentials::load(credentialsFile);
            monitoring.requireOperator = true;
        }
        if (!operatorFile.empty()) {
            monitoring.operatorTokens = qel::server::loadOperatorTokens(operatorFile);
        }
        if (!given.has("--quiet")) {
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
        sigaddset(&signals, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);

        // One descriptor per connection: as many as the system lets this process have.
        qel::server::raiseDescriptorLimit();
        qel::SystemClock clock;
        if (!qel::server::isPostgresLocation(db)) qel::server::requireCentralStoreOrEmpty(db);
        auto store = qel::server::openCentralStore(db);
        qel::server::ApplicationServer app(*store, clock);
        app.setCleanupEveryMinutes(given.number("--cleanup-every-minutes", 0, 0, 1e6));
        qel::server::Monitoring monitor(*store, clock, monitoring);
        monitor.install(options);
        qel::server::HttpServer server(app, options);
        server.bind(listen, port);
        monitor.watchMemory([&server] {
            return qel::server::RequestMemory{server.memoryReserved(), server.memoryBudget()};
        });
        qel::server::CredentialsReload reload(
            credentialsFile, operatorFile,
            {[&](qel::server::Credentials c) { server.replaceCredentials(std::move(c)); },
             [&](std::vector<std::string> t) { monitor.replaceOperatorTokens(std::move(t)); }},
            [](const std::string& line) {
                const std::string stamp = qel::SystemClock().now().toIso();
                std::printf("%s %s\n", stamp.c_str(), line.c_str());
                std::fflush(stdout);
            });
        std::thread waiter([&] {
            for (;;) {
                const timespec look{2, 0};
                const int received = sigtimedwait(&signals, nullptr, &look);
                if (received == SIGHUP) {
                    reload.reload();
                } else if (received < 0) {
                    if (errno == EAGAIN) reload.reloadChanged();
                } else {
                    break;
                }
            }
            server.stop();
        });
        server.start();
        std::printf(
            "qelexp-server listening on %s:%d (%s), central store %s, at most %zu connections\n",
            listen.c_str(), port, options.certFile.empty() ? "http" : "https",
            qel::server::isPostgresLocation(db) ? "PostgreSQL" : db.c_str(),
            server.connectionCap());
        std::fflush(stdout);
        server.run();
        pthread_kill(waiter.native_handle(), SIGTERM);
        waiter.join();
        return 0;
    } catch (const qel::cli::UsageError&) {
        throw;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qelexp-server: %s\n", e.what());
        return kExitFailure;
    }
}

}  // namespace
