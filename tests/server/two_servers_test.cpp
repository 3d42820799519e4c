// Two application servers on two ports over one PostgreSQL database, with
// stations calling either of them: what one server stored the other
// verifies, retries overlap, and nothing depends on which server or which
// connection a call arrives on.

#include <future>
#include <random>
#include <thread>

#include "application_server.h"
#include "contracts/check_result.h"
#include "contracts/net/net_connection.h"
#include "core/dataset.h"
#include "http_server.h"
#include "sample_packets.h"
#include "store_fixture.h"

namespace qel::testing {
namespace {

struct Node {
    std::unique_ptr<server::CentralStore> store;
    std::unique_ptr<server::ApplicationServer> app;
    std::unique_ptr<server::HttpServer> http;
};

class TwoServers : public ::testing::Test {
  protected:
    void SetUp() override {
        cluster_ = PostgresCluster::shared();
        if (!cluster_)
            GTEST_SKIP() << "PostgreSQL tests skipped: " << PostgresCluster::unavailableReason();
        location_ = cluster_->createDatabase();
        for (Node& n : nodes_) {
            n.store = server::openCentralStore(location_);
            n.app = std::make_unique<server::ApplicationServer>(*n.store, clock_);
            server::HttpServerOptions options;
            options.workerThreads = 48;
            n.http = std::make_unique<server::HttpServer>(*n.app, options);
            n.http->bindToAnyPort("127.0.0.1");
            n.http->start();
        }
    }
    void TearDown() override {
        for (Node& n : nodes_) {
            if (n.http) n.http->stop();
            n.http.reset();
            n.app.reset();
            n.store.reset();
        }
    }

    std::unique_ptr<net::TNetConnection> connect(int node) {
        auto c = std::make_unique<net::TNetConnection>("Exp.rdmInsereServidor");
        c->Host = "127.0.0.1";
        c->Port = nodes_[static_cast<std::size_t>(node)].http->port();
        c->Settings.readTimeout = std::chrono::seconds(120);
        c->open();
        return c;
    }

    static Variant call(net::TNetConnection& c, std::string_view method, const VariantArray& args) {
        return contracts::CheckResultServ(c.call(method, args), true, 0);
    }

    PostgresCluster* cluster_ = nullptr;
    std::string location_;
    ManualClock clock_;
    std::array<Node, 2> nodes_;
};

std::string stationCode(int n) {
    std::string s = std::to_string(n);
    return std::string(s.size() < 3 ? 3 - s.size() : 0, '0') + s;
}

// Every verdict of a verification answer, in order, as "table:code".
std::vector<std::string> verdicts(const Variant& results) {
    std::vector<std::string> out;
    for (const Variant& r : results.asArray()) {
        const Dataset& ds = r.asPacket();
        const std::size_t c = ds.fieldIndex("IDSITUACAO");
        for (const Row& row : ds.rows()) out.push_back(row[c].asString());
    }
    return out;
}

TEST_F(TwoServers, TwentyStationsRetryingOnBothServersStoreEveryRowOnce) {
    constexpr int kStations = 20, kRounds = 3, kSales = 4;
    // What the stations' rows come to, counted by an in-process SQLite store
    // that receives each transfer once.
    std::int64_t expectedRows = 0;
    {
        const auto folder = std::filesystem::temp_directory_path() /
                            ("qel_two_servers_" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        auto reference = server::openSqliteStore(folder / "reference.db");
        server::ApplicationServer app(*reference, clock_);
        for (int s = 0; s < kStations; ++s) {
            const std::string station = stationCode(s + 1);
            protocol::Request r{"Exp.rdmInsereServidor",
                                "setInsereServidor",
                                {Variant("0001"), Variant(station), Variant("01"),
                                 Variant(samplePacketArray(kSales, "0001", station))}};
            app.call({}, r);
        }
        expectedRows = reference->rowCount();
        reference.reset();
        std::filesystem::remove_all(folder);
    }
    ASSERT_GT(expectedRows, kStations * kSales * 10);

    std::vector<std::string> problems;
    std::mutex problemsMutex;
    auto problem = [&](std::string p) {
        std::lock_guard lock(problemsMutex);
        problems.push_back(std::move(p));
    };
    std::vector<std::thread> stations;
    for (int s = 0; s < kStations; ++s) {
        stations.emplace_back([&, s] {
            try {
                const std::string station = stationCode(s + 1);
                std::mt19937 random(static_cast<unsigned>(s));
                auto a = connect(0), b = connect(1);
                VariantArray packets = samplePacketArray(kSales, "0001", station);
                packets[26] = Variant(DateTime(46000.0 + s));  // this station's own date
                for (int round = 0; round < kRounds; ++round) {
                    // The last round carries a changed sale, which must replace the stored one.
                    if (round == kRounds - 1) {
                        packets = withValue(packets, 16, 1, "IDSITUVENDA", Variant("C"));
                    }
                    const VariantArray args{Variant("0001"), Variant(station), Variant("01"),
                                            Variant(packets)};
                    // The same transfer at once on both servers, as after a time-out and a retry.
                    auto first = std::async(std::launch::async,
                                            [&] { return call(*a, "setInsereServidor", args); });
                    call(*b, "setInsereServidor", args);
                    first.get();
                    // The dates call names no station: it may land on either server.
                    auto& other = (random() % 2) ? *a : *b;
                    call(other, "getMaxDTULTATUMCLI", {Variant(DateTime(45000.0))});
                    const VariantArray verify{Variant("0001"), Variant(station), Variant(packets)};
                    const auto va = verdicts(call(*a, "getVerificaExportacao", verify));
                    const auto vb = verdicts(call(*b, "getVerificaExportacao", verify));
                    if (va != vb) problem(station + ": the servers disagree");
                    for (const auto& v : va) {
                        if (v != "OK") {
                            problem(station + ": verdict " + v);
                            break;
                        }
                    }
                }
            } catch (const std::exception& e) {
                problem(e.what());
            }
        });
    }
    for (auto& t : stations) t.join();
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(nodes_[0].store->rowCount(), expectedRows);
    for (int s = 0; s < kStations; ++s) {
        EXPECT_EQ(nodes_[1].store->reportedDate("0001", stationCode(s + 1), "DTULTATUMCLI"),
                  DateTime(46000.0 + s))
            << s;
    }
    // The fleet, read through either server's store, has every station.
    EXPECT_EQ(nodes_[1].store->fleet(clock_.now(), clock_.today()).size(),
              static_cast<std::size_t>(kStations));
}

}  // namespace
}  // namespace qel::testing
