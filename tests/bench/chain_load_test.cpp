// The chain load harness: station codes and how a transfer is told again
// for another station, the station fleet against a scripted server (busy
// answers, refused rows, gzip answers, the periodic timer, a server that is
// not there), and a small drain against real servers over PostgreSQL.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "chain_load.h"
#include "core/dataset.h"
#include "loopback/loopback.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"
#include "recorded_transfers.h"
#include "station_fleet.h"

namespace qel::chain {
namespace {

TEST(ChainStation, TenStationsPerStoreNumberedFromOne) {
    const auto code = [](int i) {
        const StationId id = chainStation(i);
        return id.store + "/" + id.station;
    };
    EXPECT_EQ(code(0), "0001/001");
    EXPECT_EQ(code(9), "0001/010");
    EXPECT_EQ(code(10), "0002/001");
    EXPECT_EQ(code(999), "0100/010");
    EXPECT_EQ(chainStation(0).shop, "01");
}

std::shared_ptr<const Dataset> packet(std::vector<std::string> names, std::vector<Row> rows) {
    std::vector<FieldDef> fields;
    for (std::string& n : names) fields.push_back({std::move(n), FieldType::String, 10, 0});
    auto d = std::make_shared<Dataset>(std::move(fields));
    for (Row& r : rows) d->append(std::move(r));
    return d;
}

TEST(AsStation, RewritesOnlyTheStationsOwnCodesInItsCodeColumns) {
    const StationId from{"0001", "001"};
    const StationId to{"0042", "007"};
    const auto sales =
        packet({"CDFILIAL", "cdcaixa", "CDSERIECX", "NRDOC", "CDFILIALDEST"},
               {{Variant("0001"), Variant("001"), Variant("001"), Variant("001"), Variant("0001")},
                {Variant("0002"), Variant::null(), Variant("002"), Variant("x"), Variant("0001")}});
    const auto products = packet({"CDPRODUTO", "NMPRODUTO"}, {{Variant("0001"), Variant("001")}});
    const DateTime day = DateTime::fromDateTime(2026, 12, 6, 0, 0, 0);
    const VariantArray before = {Variant(sales), Variant(day), Variant(products)};

    const VariantArray after = asStation(before, from, to);

    ASSERT_EQ(after.size(), 3u);
    const Dataset& s = after[0].asPacket();
    EXPECT_EQ(s.rows()[0][0].asString(), "0042");
    EXPECT_EQ(s.rows()[0][1].asString(), "007");
    EXPECT_EQ(s.rows()[0][2].asString(), "007");
    EXPECT_EQ(s.rows()[0][3].asString(), "001") << "a column that is no code keeps its value";
    EXPECT_EQ(s.rows()[0][4].asString(), "0001") << "only CDFILIAL itself is the store's code";
    EXPECT_EQ(s.rows()[1][0].asString(), "0002") << "another store's code stays";
    EXPECT_TRUE(s.rows()[1][1].isNull());
    EXPECT_EQ(s.rows()[1][2].asString(), "002");
    EXPECT_EQ(after[1].asDateTime(), day);
    EXPECT_EQ(after[2].packetPtr(), products) << "a packet without code columns is shared";
    EXPECT_EQ(sales->rows()[0][0].asString(), "0001") << "the recorded transfer is unchanged";
}

// Written in place of a piece of an answer: the server hangs up there.
const std::string kHangUp = "<hang up>";

// A server on loopback that answers each request with what `script` says,
// given the request's path and the number of the connection it came on
// (from 0): the answer's pieces, written with a short pause between them.
// Serves one connection at a time; records every path.
class ScriptedServer {
  public:
    using Script = std::function<std::vector<std::string>(const std::string& path, int connection)>;

    explicit ScriptedServer(Script script)
        : script_(std::move(script)), listener_(loopback::listen()) {
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        ::shutdown(listener_.fd, SHUT_RDWR);
        thread_.join();
        ::close(listener_.fd);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return listener_.port; }
    // Paths requested on each connection, in order; and the bodies of the calls.
    std::map<int, std::vector<std::string>> paths() {
        std::lock_guard lock(mutex_);
        return paths_;
    }
    std::vector<std::string> bodies() {
        std::lock_guard lock(mutex_);
        return bodies_;
    }

  private:
    void serve() {
        for (int connection = 0;; ++connection) {
            const int fd = ::accept(listener_.fd, nullptr, nullptr);
            if (fd < 0) return;
            std::string in;
            char buffer[65536];
            for (bool open = true; open;) {
                std::size_t headEnd;
                while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
                    const ssize_t n = ::read(fd, buffer, sizeof buffer);
                    if (n <= 0) break;
                    in.append(buffer, static_cast<std::size_t>(n));
                }
                if (headEnd == std::string::npos) break;
                const std::string head = in.substr(0, headEnd);
                std::size_t length = 0;
                if (const auto at = head.find("Content-Length: "); at != std::string::npos) {
                    length = std::stoul(head.substr(at + 16));
                }
                while (in.size() < headEnd + 4 + length) {
                    const ssize_t n = ::read(fd, buffer, sizeof buffer);
                    if (n <= 0) break;
                    in.append(buffer, static_cast<std::size_t>(n));
                }
                const std::string path = head.substr(
                    head.find(' ') + 1, head.find(' ', head.find(' ') + 1) - head.find(' ') - 1);
                {
                    std::lock_guard lock(mutex_);
                    paths_[connection].push_back(path);
                    if (length > 0) bodies_.push_back(in.substr(headEnd + 4, length));
                }
                in.erase(0, headEnd + 4 + length);
                const std::vector<std::string> pieces = script_(path, connection);
                for (std::size_t i = 0; i < pieces.size() && open; ++i) {
                    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    open = pieces[i] != kHangUp &&
                           pieces[i].find("Connection: close") == std::string::npos;
                    if (pieces[i] != kHangUp &&
                        ::write(fd, pieces[i].data(), pieces[i].size()) < 0) {
                        open = false;
                    }
                }
            }
            ::close(fd);
        }
    }

    Script script_;
    loopback::Listener listener_;
    std::mutex mutex_;
    std::map<int, std::vector<std::string>> paths_;
    std::vector<std::string> bodies_;
    std::thread thread_;
};

std::vector<std::string> answer(int status, const std::string& body,
                                const std::string& extra = "") {
    return {"HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body};
}

std::string envelope(Variant payload) {
    const Bytes b = protocol::encode(protocol::successAnswer(std::move(payload)));
    return std::string(b.begin(), b.end());
}

// A verification answer whose rows carry these verdicts.
Variant verdicts(const std::vector<std::string>& each) {
    std::vector<Row> rows;
    for (const std::string& v : each) rows.push_back({Variant("k"), Variant(v)});
    return Variant(VariantArray{Variant(packet({"CHAVE", "IDSITUACAO"}, std::move(rows)))});
}

// Transfers whose calls carry recognisable bodies.
StationWork station(int transfers) {
    StationWork w;
    w.id = chainStation(0);
    for (int t = 0; t < transfers; ++t) {
        TransferCalls c;
        c.insert = {"/call/Exp.rdmInsereServidor/setInsereServidor", "insert" + std::to_string(t)};
        c.verify = {"/call/Exp.rdmInsereServidor/getVerificaExportacao",
                    "verify" + std::to_string(t)};
        c.rows = 10;
        w.transfers.push_back(c);
    }
    return w;
}

const DateCalls kDates = {{"/call/Exp.rdmInsereServidor/getMinDTULTATUEXT", "extract"},
                          {"/call/Exp.rdmInsereServidor/getMaxDTULTATUMCLI", "customer"}};

TEST(StationFleet, BusyAnswersAndRefusedRowsAreTriedAgainUntilConfirmed) {
    // Connection 0: busy at the health check. Connection 1: one row refused
    // at the verification. Connection 2: confirmed, the verification gzipped.
    ScriptedServer server([](const std::string& path, int connection) {
        if (connection == 0) return answer(503, "", "Retry-After: 0\r\nConnection: close\r\n");
        if (path == "/health") return answer(200, "ok");
        if (path.find("getVerificaExportacao") == std::string::npos) {
            return answer(200, envelope(Variant(true)));
        }
        if (connection == 1) return answer(200, envelope(verdicts({"OK", "ER"})));
        const std::string plain = envelope(verdicts({"OK", "OK"}));
        return answer(200,
                      protocol::gzipCompress(
                          {reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size()}),
                      "Content-Encoding: gzip\r\n");
    });
    std::vector<StationWork> work = {station(1)};
    FleetPlan plan;
    plan.ports = {server.port()};
    plan.retrySeconds = 0;

    const FleetResult r = runFleet(work, kDates, plan);

    EXPECT_EQ(r.busy, 1);
    EXPECT_EQ(r.errors, 1);
    EXPECT_EQ(r.refused, 1);
    EXPECT_EQ(r.transfers, 1);
    EXPECT_EQ(r.rows, 10);
    EXPECT_EQ(r.runs, 1);
    EXPECT_EQ(r.transferMs.size(), 1u);
    EXPECT_EQ(r.syncedAtSeconds.size(), 1u);
    EXPECT_EQ(r.gaveUp, 0);
    ASSERT_EQ(r.errorSamples.size(), 1u);
    EXPECT_NE(r.errorSamples[0].find("1 of 2 rows not confirmed"), std::string::npos);
    const auto paths = server.paths();
    const std::vector<std::string> run = {"/health",
                                          "/call/Exp.rdmInsereServidor/setInsereServidor",
                                          "/call/Exp.rdmInsereServidor/getMinDTULTATUEXT",
                                          "/call/Exp.rdmInsereServidor/getMaxDTULTATUMCLI",
                                          "/call/Exp.rdmInsereServidor/getVerificaExportacao"};
    EXPECT_EQ(paths.at(0), std::vector<std::string>{"/health"});
    EXPECT_EQ(paths.at(1), run);
    EXPECT_EQ(paths.at(2), run);
    EXPECT_EQ(server.bodies(),
              (std::vector<std::string>{"insert0", "extract", "customer", "verify0", "insert0",
                                        "extract", "customer", "verify0"}));
}

// Answers every call as a server that holds every row.
std::vector<std::string> confirmAll(const std::string& path, int) {
    if (path == "/health") return answer(200, "ok");
    if (path.find("getVerificaExportacao") != std::string::npos) {
        return answer(200, envelope(verdicts({"OK"})));
    }
    return answer(200, envelope(Variant(true)));
}

TEST(StationFleet, DrainSendsEveryTransferInOneRunOnOneConnection) {
    ScriptedServer server(confirmAll);
    std::vector<StationWork> work = {station(3)};
    FleetPlan plan;
    plan.ports = {server.port()};

    const FleetResult r = runFleet(work, kDates, plan);

    EXPECT_EQ(r.transfers, 3);
    EXPECT_EQ(r.runs, 1);
    EXPECT_EQ(r.errors + r.busy, 0);
    EXPECT_EQ(r.syncedAtSeconds.size(), 1u);
    const auto paths = server.paths();
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths.at(0).size(), 1u + 3 * 4);
    const auto bodies = server.bodies();
    ASSERT_EQ(bodies.size(), 12u);
    EXPECT_EQ(bodies[4], "insert1");
    EXPECT_EQ(bodies[11], "verify2");
}

TEST(StationFleet, PeriodicStationsMakeOneTransferPerRunUntilTheirTransfersRunOut) {
    ScriptedServer server(confirmAll);
    std::vector<StationWork> work = {station(3), station(3)};
    FleetPlan plan;
    plan.ports = {server.port()};
    plan.periodSeconds = 0.05;
    plan.durationSeconds = 600;

    const FleetResult r = runFleet(work, kDates, plan);

    EXPECT_EQ(r.transfers, 6);
    EXPECT_EQ(r.runs, 6);
    EXPECT_EQ(r.runMs.size(), 6u);
    EXPECT_EQ(r.syncedAtSeconds.size(), 2u);
    const auto paths = server.paths();
    EXPECT_EQ(paths.size(), 6u) << "each run on a connection of its own";
    for (const auto& [connection, run] : paths) EXPECT_EQ(run.size(), 5u);
}

TEST(StationFleet, PeriodicStationsStartNoRunAfterTheDuration) {
    ScriptedServer server(confirmAll);
    std::vector<StationWork> work = {station(50)};
    FleetPlan plan;
    plan.ports = {server.port()};
    plan.periodSeconds = 0.1;
    plan.durationSeconds = 0.25;

    const FleetResult r = runFleet(work, kDates, plan);

    // Beats at the phase (under 0.1 s), 0.1 s and 0.2 s later fall within
    // the duration (the last only for a phase under 0.05 s), later ones
    // never; a slow run makes the beats it overlapped one.
    EXPECT_GE(r.transfers, 1);
    EXPECT_LE(r.transfers, 3);
    EXPECT_EQ(r.runs, r.transfers);
    EXPECT_TRUE(r.syncedAtSeconds.empty()) << "the station still had transfers to send";
    EXPECT_EQ(r.errors, 0);
}

TEST(StationFleet, AnswersAreReadAcrossPiecesAndBrokenOnesFailTheRun) {
    // Connection 0: an answer without a length. Connection 1: the server
    // hangs up in the middle of an answer. Connection 2: a chunked answer.
    // Connection 3: every answer in three pieces (the head cut in its
    // middle, the rest of the head, the body).
    ScriptedServer server([](const std::string& path, int connection) {
        using Pieces = std::vector<std::string>;
        if (connection == 0) return Pieces{"HTTP/1.1 200 OK\r\n\r\nok"};
        if (connection == 2) {
            return Pieces{
                "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n"};
        }
        const std::string text = confirmAll(path, connection)[0];
        const std::size_t body = text.find("\r\n\r\n") + 4;
        if (connection == 1 && path != "/health") return Pieces{text.substr(0, body + 1), kHangUp};
        return Pieces{text.substr(0, 10), text.substr(10, body - 10), text.substr(body)};
    });
    std::vector<StationWork> work = {station(1)};
    FleetPlan plan;
    plan.ports = {server.port()};
    plan.retrySeconds = 0;

    const FleetResult r = runFleet(work, kDates, plan);

    EXPECT_EQ(r.errors, 3);
    EXPECT_EQ(r.transfers, 1);
    EXPECT_EQ(r.syncedAtSeconds.size(), 1u);
    ASSERT_EQ(r.errorSamples.size(), 3u);
    EXPECT_NE(r.errorSamples[0].find("without a Content-Length"), std::string::npos);
    EXPECT_NE(r.errorSamples[1].find("closed the connection before answering"), std::string::npos);
    EXPECT_NE(r.errorSamples[2].find("without a Content-Length"), std::string::npos);
    EXPECT_EQ(server.paths().at(3).size(), 5u);
}

TEST(StationFleet, AStationGivesUpAfterItsAttemptsWhenNoServerAnswers) {
    std::vector<StationWork> work = {station(2), station(2)};
    FleetPlan plan;
    plan.ports = {loopback::freePort()};
    plan.retrySeconds = 0;
    plan.maxAttempts = 3;

    const FleetResult r = runFleet(work, kDates, plan);

    EXPECT_EQ(r.errors, 6);
    EXPECT_EQ(r.gaveUp, 2);
    EXPECT_EQ(r.transfers, 0);
    EXPECT_TRUE(r.syncedAtSeconds.empty());
    ASSERT_FALSE(r.errorSamples.empty());
    EXPECT_NE(r.errorSamples[0].find("connect"), std::string::npos) << r.errorSamples[0];
}

TEST(ChainLoad, ADrainOfTenStationsStoresEachStationsRowsUnderItsOwnCodes) {
    ChainOptions o;
    o.stations = 10;
    o.drain = true;
    o.daySales = 30;
    o.sales = 10;
    o.serverExecutable = QEL_SERVER;
    o.progress = false;
    const ChainRun run = runChain(o);

    ASSERT_TRUE(succeeded(run)) << describe(run);
    EXPECT_GE(run.templateTransfers, 3);
    EXPECT_EQ(run.fleet.transfers, 10 * run.templateTransfers);
    EXPECT_EQ(run.fleet.rows, 10 * run.templateRows);
    EXPECT_EQ(run.fleet.syncedAtSeconds.size(), 10u);

    PGconn* c = PQconnectdb(run.databaseUri.c_str());
    ASSERT_EQ(PQstatus(c), CONNECTION_OK);
    PGresult* r = PQexec(c,
                         "SELECT store || '/' || station, count(*) FROM export_row "
                         "GROUP BY 1 ORDER BY 1");
    ASSERT_EQ(PQresultStatus(r), PGRES_TUPLES_OK);
    ASSERT_EQ(PQntuples(r), 10);
    EXPECT_STREQ(PQgetvalue(r, 0, 0), "0001/001");
    EXPECT_STREQ(PQgetvalue(r, 9, 0), "0001/010");
    for (int i = 1; i < 10; ++i) EXPECT_STREQ(PQgetvalue(r, i, 1), PQgetvalue(r, 0, 1));
    EXPECT_EQ(std::atoll(PQgetvalue(r, 0, 1)) * 10, run.database.rows);
    PQclear(r);
    PQfinish(c);
}

}  // namespace
}  // namespace qel::chain
