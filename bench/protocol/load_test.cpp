// Bounded load test: many stations exporting at once to one application
// server on loopback. Each transfer is the agent's sequence of calls
// (setInsereServidor, getMinDTULTATUEXT, getMaxDTULTATUMCLI,
// getVerificaExportacao) with every verdict checked.
//   load_protocol [stations=100] [transfers=1000] [sales-per-transfer=10]
// Stops after the transfers, or after five minutes whatever happened; exits
// 1 when any call failed or a verdict was not "OK". Goal: 1,000 transfers a
// minute without error.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "application_server.h"
#include "central_store.h"
#include "contracts/net/net_connection.h"
#include "core/clock.h"
#include "core/dataset.h"
#include "http_server.h"
#include "protocol/envelope.h"
#include "sample_packets.h"
#include "verdicts.h"

using namespace qel;

int main(int argc, char** argv) {
    const int stations = argc > 1 ? std::atoi(argv[1]) : 100;
    const int transfers = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int sales = argc > 3 ? std::atoi(argv[3]) : 10;
    if (stations <= 0 || transfers <= 0 || sales <= 0) {
        std::fprintf(stderr, "usage: load_protocol [stations] [transfers] [sales-per-transfer]\n");
        return 2;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    const auto folder = std::filesystem::temp_directory_path() /
                        ("qel_load_protocol_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);

    SystemClock clock;
    auto store = server::openSqliteStore(folder / "central.db");
    server::ApplicationServer app(*store, clock);
    server::HttpServerOptions options;
    options.workerThreads = stations + 8;
    server::HttpServer http(app, options);
    const int port = http.bindToAnyPort("127.0.0.1");
    http.start();

    std::atomic<int> next{0}, done{0}, failures{0};
    std::mutex errorMutex;
    std::string firstError;
    std::vector<double> latencies(static_cast<std::size_t>(transfers), 0.0);
    const auto started = std::chrono::steady_clock::now();

    std::vector<std::thread> threads;
    for (int s = 0; s < stations; ++s) {
        threads.emplace_back([&, s] {
            char code[16];
            std::snprintf(code, sizeof code, "%03d", s + 1);
            net::TNetConnection c("Exp.rdmInsereServidor");
            c.Host = "127.0.0.1";
            c.Port = port;
            try {
                c.open();
                int round = 0;
                for (int t;
                     (t = next++) < transfers && std::chrono::steady_clock::now() < deadline;) {
                    // Each transfer sends new sales and the station tables again.
                    const Variant array(
                        testing::samplePacketArray(sales * (++round), "0001", code));
                    const auto t0 = std::chrono::steady_clock::now();
                    protocol::unwrapAnswer(
                        c.call("setInsereServidor",
                               {Variant("0001"), Variant(code), Variant("01"), array}));
                    protocol::unwrapAnswer(c.call("getMinDTULTATUEXT", {array.asArray()[25]}));
                    protocol::unwrapAnswer(c.call("getMaxDTULTATUMCLI", {array.asArray()[26]}));
                    const Variant results = protocol::unwrapAnswer(
                        c.call("getVerificaExportacao", {Variant("0001"), Variant(code), array}));
                    qel::testing::requireAllOk(results);
                    latencies[static_cast<std::size_t>(t)] =
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                                  t0)
                            .count();
                    ++done;
                }
                c.close();
            } catch (const std::exception& e) {
                ++failures;
                std::lock_guard lock(errorMutex);
                if (firstError.empty()) firstError = e.what();
            }
        });
    }
    for (auto& t : threads) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    http.stop();
    const std::int64_t stored = store->rowCount();
    store.reset();
    std::filesystem::remove_all(folder);

    std::vector<double> sorted(latencies.begin(), latencies.begin() + done.load());
    std::sort(sorted.begin(), sorted.end());
    auto pct = [&](double p) {
        return sorted.empty() ? 0.0 : sorted[static_cast<std::size_t>(p * (sorted.size() - 1))];
    };
    std::printf(
        "stations=%d transfers=%d/%d failures=%d seconds=%.1f rate=%.0f/min "
        "p50=%.1fms p99=%.1fms central_rows=%lld\n",
        stations, done.load(), transfers, failures.load(), seconds, done.load() / seconds * 60.0,
        pct(0.5), pct(0.99), static_cast<long long>(stored));
    if (!firstError.empty()) std::printf("first error: %s\n", firstError.c_str());
    return failures == 0 && done == transfers ? 0 : 1;
}
