// Enumerated fault points: the k-th station database call, or the k-th
// server call, of one export run fails once, for every k the run reaches.
// A clean run afterwards must leave the station sound, nothing pending, and
// the central store holding exactly what a run without faults stores.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "core/error.h"
#include "export_fixture.h"

namespace {

namespace fs = std::filesystem;

// The tables whose rows the checks below count, centrally and pending locally.
const char* const kCentralTables[] = {"VENDA",     "ITEMVENDA",  "MOVCAIXA", "TURCAIXA", "REDUCAOZ",
                                      "LOGACESSO", "LOGOPERQEL", "CMD_LOG",  "ITCMD_LOG"};

const char* const kPendingQueries[] = {
    "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'",
    "SELECT COUNT(*) FROM MOVCAIXA WHERE IDIMPMOVCAIXA <> 'S' AND NRSEQVENDA IS NULL",
    "SELECT COUNT(*) FROM REDUCAOZ WHERE IDIMPREDUCAO <> 'S'",
    "SELECT COUNT(*) FROM LOGACESSO WHERE IDIMPLOGACESSO <> 'S'",
    "SELECT COUNT(*) FROM LOGOPERQEL WHERE IDIMPLOGOPERQEL <> 'S' AND NRSEQVENDA IS NULL",
    "SELECT COUNT(*) FROM CMD_LOG WHERE IDEXPREGISTRO = 'N'",
    "SELECT COUNT(*) FROM ITCMD_LOG WHERE IDEXPREGISTRO = 'N'"};

class FaultPoints : public qel::testing::ExportFixture {
  protected:
    const qel::DateTime start = qel::DateTime::fromDateTime(2026, 12, 7, 12, 0, 0);

    void SetUp() override {
        ExportFixture::SetUp();
        simulate(4, 3);
        station->close();
        fs::copy_file(dir / "QELCAIXA.db", dir / "template.db");
    }

    // A fresh station from the template, an empty central store and a new
    // agent, as if nothing had run yet.
    void restart() {
        dm->net.netInsereServidor.close();
        dm->net.netAjuste.close();
        dm->net.netAtualizaPontuacao.close();
        dm.reset();
        stopServer();
        app.reset();
        store.reset();
        realStore.reset();
        station->close();
        for (const char* suffix : {"", "-wal", "-shm"}) {
            fs::remove(dir / ("QELCAIXA.db" + std::string(suffix)));
            fs::remove(dir / ("central_store.db" + std::string(suffix)));
        }
        fs::copy_file(dir / "template.db", dir / "QELCAIXA.db");
        realStore = qel::server::openSqliteStore(dir / "central_store.db");
        store = std::make_unique<qel::testing::FailingVerifyStore>(*realStore);
        app = std::make_unique<qel::server::ApplicationServer>(*store, clock);
        startServer();
        dm = std::make_unique<qel::agent::TdtmExportaVenda>(
            qel::agent::DataModuleContext{clock, *platform, runLog->sink(), {}, dir});
        clock.set(start);
    }

    void run() { dm->EnviaVendas("0001", "001", "01", 1); }

    // Every station database call and every server call of the agent goes
    // through these hooks; the one numbered `failAt` throws.
    void injectFaults(int failDatabaseAt, int failServerAt) {
        databaseCalls = serverCalls = 0;
        dm->adcCaixa.setBeforeStatement([this, failDatabaseAt](std::string_view) {
            if (++databaseCalls == failDatabaseAt) {
                throw qel::DatabaseError("injected fault at database call " +
                                         std::to_string(databaseCalls));
            }
        });
        auto onCall = [this, failServerAt](std::string_view method) {
            if (++serverCalls == failServerAt) {
                throw qel::ServerError("injected fault at server call " +
                                       std::to_string(serverCalls) + " (" + std::string(method) +
                                       ")");
            }
        };
        dm->net.netInsereServidor.BeforeCall = onCall;
        dm->net.netAjuste.BeforeCall = onCall;
        dm->net.netAtualizaPontuacao.BeforeCall = onCall;
    }
    void removeFaults() {
        dm->adcCaixa.setBeforeStatement({});
        dm->net.netInsereServidor.BeforeCall = {};
        dm->net.netAjuste.BeforeCall = {};
        dm->net.netAtualizaPontuacao.BeforeCall = {};
    }

    std::map<std::string, std::int64_t> centralCounts() {
        std::map<std::string, std::int64_t> counts;
        for (const char* table : kCentralTables) counts[table] = realStore->rowCount(table);
        counts["*"] = realStore->rowCount();
        return counts;
    }
    std::int64_t pendingRows() {
        std::int64_t pending = 0;
        for (const char* query : kPendingQueries) pending += std::stoll(scalar(query));
        return pending;
    }

    // A faulty run followed, five minutes later, by a clean one.
    void faultyThenClean(int failDatabaseAt, int failServerAt) {
        restart();
        injectFaults(failDatabaseAt, failServerAt);
        run();
        removeFaults();
        clock.advance(std::chrono::minutes(5));
        run();
    }

    // What two clean runs store; also counts the calls one run makes.
    void reference() {
        restart();
        injectFaults(0, 0);
        run();
        callsOfOneRun = {databaseCalls, serverCalls};
        removeFaults();
        clock.advance(std::chrono::minutes(5));
        run();
        expected = centralCounts();
        ASSERT_EQ(pendingRows(), 0);
        ASSERT_GT(expected["VENDA"], 0);
    }

    void expectConsistent() {
        EXPECT_EQ(scalar("PRAGMA integrity_check"), "ok");
        EXPECT_EQ(pendingRows(), 0);
        EXPECT_EQ(centralCounts(), expected);
    }

    int databaseCalls = 0;
    int serverCalls = 0;
    std::pair<int, int> callsOfOneRun;
    std::map<std::string, std::int64_t> expected;
};

TEST_F(FaultPoints, EveryStationDatabaseCallOfARunMayFailOnce) {
    reference();
    if (HasFatalFailure()) return;
    ASSERT_GT(callsOfOneRun.first, 10);
    for (int k = 1; k <= callsOfOneRun.first; ++k) {
        SCOPED_TRACE("database call " + std::to_string(k) + " of " +
                     std::to_string(callsOfOneRun.first));
        faultyThenClean(k, 0);
        expectConsistent();
        if (HasFailure()) break;
    }
}

TEST_F(FaultPoints, EveryServerCallOfARunMayFailOnce) {
    reference();
    if (HasFatalFailure()) return;
    ASSERT_GT(callsOfOneRun.second, 3);
    for (int k = 1; k <= callsOfOneRun.second; ++k) {
        SCOPED_TRACE("server call " + std::to_string(k) + " of " +
                     std::to_string(callsOfOneRun.second));
        faultyThenClean(0, k);
        expectConsistent();
        if (HasFailure()) break;
    }
}

}  // namespace
