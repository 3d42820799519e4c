// Load harness: N concurrent stations against two servers over one
// PostgreSQL database (started here, in a temporary folder), each station
// sending transfers (setInsereServidor, the two date calls and
// getVerificaExportacao) to either server at random. Prints transfers per
// minute, errors and latency percentiles of a whole transfer.
//   load_central [stations=100] [transfers-per-station=30] [sales-per-transfer=10]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

#include "application_server.h"
#include "contracts/check_result.h"
#include "contracts/net/net_connection.h"
#include "core/dataset.h"
#include "http_server.h"
#include "postgres_cluster.h"
#include "sample_packets.h"

using namespace qel;

namespace {

std::string code(int n, int width) {
    std::string s = std::to_string(n);
    return std::string(s.size() < static_cast<std::size_t>(width) ? width - s.size() : 0, '0') + s;
}

}  // namespace

int main(int argc, char** argv) {
    const int stations = argc > 1 ? std::atoi(argv[1]) : 100;
    const int transfers = argc > 2 ? std::atoi(argv[2]) : 30;
    const int sales = argc > 3 ? std::atoi(argv[3]) : 10;
    auto* cluster = testing::PostgresCluster::shared();
    if (!cluster) {
        std::fprintf(stderr, "PostgreSQL unavailable: %s\n",
                     testing::PostgresCluster::unavailableReason().c_str());
        return 1;
    }
    const std::string db = cluster->createDatabase();
    SystemClock clock;
    struct Node {
        std::unique_ptr<server::CentralStore> store;
        std::unique_ptr<server::ApplicationServer> app;
        std::unique_ptr<server::HttpServer> http;
    };
    std::array<Node, 2> nodes;
    for (Node& n : nodes) {
        n.store = server::openPostgresStore(db, 16);
        n.app = std::make_unique<server::ApplicationServer>(*n.store, clock);
        server::HttpServerOptions options;
        options.workerThreads = stations + 8;
        n.http = std::make_unique<server::HttpServer>(*n.app, options);
        n.http->bindToAnyPort("127.0.0.1");
        n.http->start();
    }
    // Each station's transfers, prepared before the clock starts.
    std::vector<std::vector<VariantArray>> work(static_cast<std::size_t>(stations));
    for (int s = 0; s < stations; ++s) {
        for (int t = 0; t < transfers; ++t) {
            work[static_cast<std::size_t>(s)].push_back(
                testing::samplePacketArray(sales, code(t, 4), code(s, 3)));
        }
    }
    std::atomic<int> errors{0};
    std::mutex latencyMutex;
    std::vector<double> latencies;
    std::vector<std::thread> threads;
    const auto started = std::chrono::steady_clock::now();
    for (int s = 0; s < stations; ++s) {
        threads.emplace_back([&, s] {
            std::mt19937 random(static_cast<unsigned>(s));
            std::array<net::TNetConnection, 2> c;
            for (int i = 0; i < 2; ++i) {
                c[i].ServerName = "Exp.rdmInsereServidor";
                c[i].Host = "127.0.0.1";
                c[i].Port = nodes[static_cast<std::size_t>(i)].http->port();
            }
            std::vector<double> mine;
            for (int t = 0; t < transfers; ++t) {
                const VariantArray& packets =
                    work[static_cast<std::size_t>(s)][static_cast<std::size_t>(t)];
                const std::string store = code(t, 4), station = code(s, 3);
                const auto begin = std::chrono::steady_clock::now();
                try {
                    auto& conn = c[random() % 2];
                    conn.open();
                    auto call = [&](std::string_view m, const VariantArray& a) {
                        return contracts::CheckResultServ(conn.call(m, a), true, 0);
                    };
                    call("setInsereServidor",
                         {Variant(store), Variant(station), Variant("01"), Variant(packets)});
                    call("getMinDTULTATUEXT", {packets[25]});
                    call("getMaxDTULTATUMCLI", {packets[26]});
                    const Variant r = call("getVerificaExportacao",
                                           {Variant(store), Variant(station), Variant(packets)});
                    for (const Variant& p : r.asArray()) {
                        const Dataset& ds = p.asPacket();
                        const std::size_t col = ds.fieldIndex("IDSITUACAO");
                        for (const Row& row : ds.rows()) {
                            if (row[col].asString() != "OK") {
                                ++errors;
                                break;
                            }
                        }
                    }
                } catch (const std::exception& e) {
                    if (errors++ < 5) std::fprintf(stderr, "error: %s\n", e.what());
                }
                mine.push_back(std::chrono::duration<double, std::milli>(
                                   std::chrono::steady_clock::now() - begin)
                                   .count());
            }
            std::lock_guard lock(latencyMutex);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    for (auto& t : threads) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) {
        return latencies[std::min(
            latencies.size() - 1,
            static_cast<std::size_t>(p * static_cast<double>(latencies.size())))];
    };
    const double total = static_cast<double>(latencies.size());
    std::printf(
        "%d stations x %d transfers of %d sales, two servers over one PostgreSQL\n"
        "  %.0f transfers in %.1f s = %.0f transfers/min, %d errors, %lld rows stored\n"
        "  transfer latency ms: p50 %.1f  p90 %.1f  p99 %.1f  max %.1f\n",
        stations, transfers, sales, total, seconds, total * 60.0 / seconds, errors.load(),
        static_cast<long long>(nodes[0].store->rowCount()), pct(0.5), pct(0.9), pct(0.99),
        latencies.back());
    for (Node& n : nodes) n.http->stop();
    return errors.load() == 0 ? 0 : 1;
}
