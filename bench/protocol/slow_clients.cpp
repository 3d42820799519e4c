// Harness: a station's normal transfer while many slow or idle connections
// are open on the same server. Loopback only, bounded in time.
//   slow_clients [connections=1000] [transfers=50] [port]
// Without a port it serves in-process; with one it measures a server
// already listening on 127.0.0.1:<port> (e.g. another build). A third of
// the connections stay idle, a third send a request head one byte a second,
// a third a body one byte a second; those the server drops are reopened.
// Each transfer is setInsereServidor of 100 sales + getVerificaExportacao,
// every verdict checked. Prints the median and 90th percentile.

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "application_server.h"
#include "central_store.h"
#include "contracts/net/net_connection.h"
#include "core/clock.h"
#include "core/dataset.h"
#include "http_server.h"
#include "loopback/loopback.h"
#include "protocol/envelope.h"
#include "sample_packets.h"
#include "verdicts.h"

using namespace qel;

namespace {

const std::string kSlowHead =
    "POST /call/Exp.rdmInsereServidor/getLimpezaDiaria HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    "Content-Type: application/msgpack\r\nContent-Length: 100000\r\n\r\n";

}  // namespace

int main(int argc, char** argv) {
    const int slowCount = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int transfers = argc > 2 ? std::atoi(argv[2]) : 50;
    const int externalPort = argc > 3 ? std::atoi(argv[3]) : 0;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    const auto folder =
        std::filesystem::temp_directory_path() / ("qel_slow_clients_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    SystemClock clock;
    std::unique_ptr<server::CentralStore> store;
    std::unique_ptr<server::ApplicationServer> app;
    std::unique_ptr<server::HttpServer> http;
    int port = externalPort;
    if (!port) {
        store = server::openSqliteStore(folder / "central.db");
        app = std::make_unique<server::ApplicationServer>(*store, clock);
        http = std::make_unique<server::HttpServer>(*app, server::HttpServerOptions{});
        port = http->bindToAnyPort("127.0.0.1");
        http->start();
    }

    // The slow connections, each with how much of its request it has sent.
    struct Slow {
        int fd = -1;
        std::size_t sent = 0;
    };
    std::vector<Slow> slow(static_cast<std::size_t>(slowCount));
    std::atomic<bool> stop{false};
    std::atomic<int> reopened{0};
    std::thread trickle([&] {
        while (!stop) {
            for (std::size_t i = 0; i < slow.size() && !stop; ++i) {
                Slow& s = slow[i];
                if (s.fd < 0) {
                    s.fd = loopback::connect(port);
                    s.sent = i % 3 == 2 ? kSlowHead.size() - 1 : 0;  // body senders start there
                    if (s.sent) ::send(s.fd, kSlowHead.data(), s.sent, MSG_NOSIGNAL);
                    continue;
                }
                if (i % 3 == 0) continue;  // idle
                const char byte = s.sent < kSlowHead.size() ? kSlowHead[s.sent] : '\xC0';
                if (::send(s.fd, &byte, 1, MSG_NOSIGNAL) != 1) {
                    ::close(s.fd);
                    s.fd = -1;
                    ++reopened;
                } else {
                    ++s.sent;
                }
            }
            for (int w = 0; w < 10 && !stop; ++w)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));  // let them all connect

    net::TNetConnection c("Exp.rdmInsereServidor");
    c.Host = "127.0.0.1";
    c.Port = port;
    c.Settings.readTimeout = std::chrono::seconds(30);
    std::vector<double> latencies;
    int failures = 0;
    std::string firstError;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    try {
        c.open();
        for (int t = 0; t < transfers && std::chrono::steady_clock::now() < deadline; ++t) {
            const Variant array(testing::samplePacketArray(100, "0001", "001"));
            const auto t0 = std::chrono::steady_clock::now();
            try {
                protocol::unwrapAnswer(c.call(
                    "setInsereServidor", {Variant("0001"), Variant("001"), Variant("01"), array}));
                const Variant results = protocol::unwrapAnswer(
                    c.call("getVerificaExportacao", {Variant("0001"), Variant("001"), array}));
                qel::testing::requireAllOk(results);
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count());
            } catch (const std::exception& e) {
                ++failures;
                if (firstError.empty()) firstError = e.what();
                c.close();
                c.open();
            }
        }
    } catch (const std::exception& e) {
        ++failures;
        if (firstError.empty()) firstError = e.what();
    }
    stop = true;
    trickle.join();
    int open = 0;
    for (Slow& s : slow) {
        if (s.fd >= 0) {
            ++open;
            ::close(s.fd);
        }
    }
    if (http) http->stop();
    http.reset();
    app.reset();
    store.reset();
    std::filesystem::remove_all(folder);

    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) {
        return latencies.empty() ? 0.0
                                 : latencies[static_cast<std::size_t>(p * (latencies.size() - 1))];
    };
    std::printf(
        "slow_connections=%d (open at the end %d, reopened %d) transfers=%zu failures=%d "
        "p50=%.1fms p90=%.1fms max=%.1fms\n",
        slowCount, open, reopened.load(), latencies.size(), failures, pct(0.5), pct(0.9),
        latencies.empty() ? 0.0 : latencies.back());
    if (!firstError.empty()) std::printf("first error: %s\n", firstError.c_str());
    return failures == 0 ? 0 : 1;
}
