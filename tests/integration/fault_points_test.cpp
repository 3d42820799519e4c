// Enumerated fault points: the k-th station database call, or the k-th
// server call, of one export run (or the k-th database call of one cleanup)
// fails once, or fails with every later call too, for every k the run
// reaches. A clean run afterwards must leave the station sound, nothing
// pending, every row the station flagged (or the cleanup deleted) held
// centrally with the same content, and the central store holding exactly
// what a run without faults stores.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "consistency_check.h"
#include "core/error.h"
#include "export_fixture.h"

namespace {

namespace fs = std::filesystem;

// The tables whose rows the checks below count, centrally and pending locally.
const char* const kCentralTables[] = {"VENDA",     "ITEMVENDA",  "MOVCAIXA", "TURCAIXA", "REDUCAOZ",
                                      "LOGACESSO", "LOGOPERQEL", "CMD_LOG",  "ITCMD_LOG"};

class FaultPoints : public qel::testing::ExportFixture {
  protected:
    const qel::DateTime start = qel::DateTime::fromDateTime(2026, 12, 7, 12, 0, 0);

    void SetUp() override {
        ExportFixture::SetUp();
        simulate(4, 3);
        // Rows the simulator wrote as exported long ago: never sent here.
        exportedBefore = qel::chaos::readExportedRows(*station, kDatabase);
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
    // through these hooks; the one numbered `failAt` throws, and with
    // `forEver` every later one too.
    void injectFaults(int failDatabaseAt, int failServerAt, bool forEver = false) {
        databaseCalls = serverCalls = 0;
        const auto hit = [forEver](int call, int failAt) {
            return failAt > 0 && (call == failAt || (forEver && call > failAt));
        };
        dm->adcCaixa.setBeforeStatement([this, failDatabaseAt, hit](std::string_view) {
            if (hit(++databaseCalls, failDatabaseAt)) {
                throw qel::DatabaseError("injected fault at database call " +
                                         std::to_string(databaseCalls));
            }
        });
        auto onCall = [this, failServerAt, hit](std::string_view method) {
            if (hit(++serverCalls, failServerAt)) {
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
    std::vector<std::string> pendingRows() { return qel::chaos::pendingRows(*station); }

    // A faulty run followed, five minutes later, by a clean one.
    void faultyThenClean(int failDatabaseAt, int failServerAt, bool forEver = false) {
        restart();
        injectFaults(failDatabaseAt, failServerAt, forEver);
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
        ASSERT_EQ(pendingRows(), std::vector<std::string>{});
        ASSERT_GT(expected["VENDA"], 0);
        // Rows flagged by the agent, all of them checked below.
        ASSERT_GT(qel::chaos::readExportedRows(*station, kDatabase)
                      .without(exportedBefore)
                      .byTable["VENDA"]
                      .rows.size(),
                  0u);
    }

    // Sound, nothing pending, every row flagged now or in `snapshot` (rows a
    // cleanup has since deleted) held centrally with its content, and the
    // central store as a run without faults leaves it.
    void expectConsistent(const qel::chaos::ExportedRows& snapshot = {}) {
        EXPECT_EQ(scalar("PRAGMA integrity_check"), "ok");
        EXPECT_EQ(pendingRows(), std::vector<std::string>{});
        qel::chaos::ExportedRows flagged = qel::chaos::readExportedRows(*station, kDatabase);
        flagged.merge(snapshot);
        EXPECT_EQ(qel::chaos::rowsNotHeld(flagged.without(exportedBefore), *realStore),
                  std::vector<std::string>{});
        EXPECT_EQ(centralCounts(), expected);
    }

    // How the server files this station's rows whose key does not name it.
    static constexpr std::string_view kDatabase = "0001/001";
    qel::chaos::ExportedRows exportedBefore;
    int databaseCalls = 0;
    int serverCalls = 0;
    std::pair<int, int> callsOfOneRun;
    std::map<std::string, std::int64_t> expected;
};

// A run makes some two hundred station database calls. Each test takes every
// fourth k, so that the shards run side by side and each stays well inside
// the per-test time limit under the sanitizers.
constexpr int kShards = 4;
class DatabaseFaultPoints : public FaultPoints, public ::testing::WithParamInterface<int> {};

TEST_P(DatabaseFaultPoints, EveryStationDatabaseCallOfARunMayFailOnce) {
    reference();
    if (HasFatalFailure()) return;
    ASSERT_GT(callsOfOneRun.first, 10);
    for (int k = 1 + GetParam(); k <= callsOfOneRun.first; k += kShards) {
        SCOPED_TRACE("database call " + std::to_string(k) + " of " +
                     std::to_string(callsOfOneRun.first));
        faultyThenClean(k, 0);
        expectConsistent();
        if (HasFailure()) break;
    }
}

TEST_P(DatabaseFaultPoints, EveryStationDatabaseCallOfARunMayFailForEver) {
    reference();
    if (HasFatalFailure()) return;
    for (int k = 1 + GetParam(); k <= callsOfOneRun.first; k += kShards) {
        SCOPED_TRACE("database calls from " + std::to_string(k) + " of " +
                     std::to_string(callsOfOneRun.first));
        faultyThenClean(k, 0, true);
        expectConsistent();
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Shard, DatabaseFaultPoints, ::testing::Range(0, kShards));

TEST_F(FaultPoints, EveryServerCallOfARunMayFailForEver) {
    reference();
    if (HasFatalFailure()) return;
    for (int k = 1; k <= callsOfOneRun.second; ++k) {
        SCOPED_TRACE("server calls from " + std::to_string(k) + " of " +
                     std::to_string(callsOfOneRun.second));
        faultyThenClean(0, k, true);
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

// The cleanup on its own: after a clean export, half a year later, the k-th
// database call of one LimpaBaseDeDados fails (once, or for ever); clean
// cleanups afterwards must leave the station as a cleanup without faults
// does, and every row deleted must be held centrally.
class CleanupFaultPoints : public FaultPoints {
  protected:
    // A clean export, then the clock moves past the retention.
    qel::chaos::ExportedRows exportThenAge() {
        restart();
        run();
        clock.advance(std::chrono::hours(24 * 200));
        return qel::chaos::readExportedRows(*station, kDatabase);
    }
    // One cleanup as the end of an export run makes it, with the server
    // connection open; faults go to its database calls alone.
    void cleanUp(int failDatabaseAt, bool forEver) {
        ASSERT_TRUE(dm->net.ConectaServidor(true, "sem servidor"));
        injectFaults(failDatabaseAt, 0, forEver);
        dm->LimpaBaseDeDados();
        removeFaults();
        dm->net.ConectaServidor(false, "");
    }
    std::map<std::string, std::int64_t> stationCounts() {
        std::map<std::string, std::int64_t> counts;
        for (const char* table : kCentralTables) {
            counts[table] = std::stoll(scalar(std::string("SELECT COUNT(*) FROM ") + table));
        }
        return counts;
    }
};

TEST_F(CleanupFaultPoints, EveryDatabaseCallOfACleanupMayFailOnceOrForEver) {
    exportThenAge();
    const auto before = stationCounts();
    cleanUp(0, false);
    const int calls = databaseCalls;
    const auto cleaned = stationCounts();
    expected = centralCounts();
    ASSERT_NE(cleaned, before);  // the cleanup deletes rows
    ASSERT_GT(calls, 10);

    for (const bool forEver : {false, true}) {
        for (int k = 1; k <= calls; ++k) {
            SCOPED_TRACE("cleanup database call " + std::to_string(k) + " of " +
                         std::to_string(calls) + (forEver ? ", for ever" : ", once"));
            const qel::chaos::ExportedRows snapshot = exportThenAge();
            cleanUp(k, forEver);
            clock.advance(std::chrono::minutes(5));
            cleanUp(0, false);
            // Never more deleted than without faults. A failure the cleanup
            // ignores (its first four deletions) leaves rows for the next
            // day's cleanup, which then leaves the station as without faults.
            for (const auto& [table, count] : stationCounts()) {
                EXPECT_GE(count, cleaned.at(table)) << table;
            }
            clock.advance(std::chrono::hours(24));
            cleanUp(0, false);
            EXPECT_EQ(stationCounts(), cleaned);
            expectConsistent(snapshot);
            if (HasFailure()) return;
        }
    }
}

}  // namespace
