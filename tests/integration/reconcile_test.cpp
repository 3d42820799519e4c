// A short day heals: the central store loses sales the station flagged as
// exported (restored from an earlier copy, or flags set by hand), the
// station asks for its short days, marks what the server lacks, and the next
// ordinary export run sends it. On every central store engine, with the real
// server on loopback and a real station file.

#include <libpq-fe.h>

#include <fstream>

#include "../server/postgres_cluster.h"
#include "../tools/child_process.h"
#include "consistency_check.h"
#include "export/day_reconciliation.h"
#include "export_fixture.h"

namespace qel::testing {
namespace {

using chaos::pendingRows;
using chaos::readExportedRows;
using chaos::rowsNotHeld;

// Counts the central store's work that only reconciliation asks for.
class CountingStore : public FailingVerifyStore {
  public:
    using FailingVerifyStore::FailingVerifyStore;
    int verifications = 0, shortDayQuestions = 0;

    std::vector<std::optional<Bytes>> getContents(const std::vector<server::RowRef>& r) override {
        ++verifications;
        return FailingVerifyStore::getContents(r);
    }
    std::vector<server::DayShortfall> findShortDays(std::string_view s, std::string_view c,
                                                    DateTime since, DateTime at) override {
        ++shortDayQuestions;
        return FailingVerifyStore::findShortDays(s, c, since, at);
    }
};

void adminSql(const std::string& location, const std::string& sql) {
    const std::string admin = location.substr(0, location.rfind('/') + 1) + "postgres";
    PGconn* c = PQconnectdb(admin.c_str());
    PGresult* r = PQexec(c, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    const std::string error = PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    if (!ok) throw std::runtime_error(sql + ": " + error);
}

class Reconcile : public StationFixture, public ::testing::WithParamInterface<std::string> {
  protected:
    void SetUp() override {
        StationFixture::SetUp();
        if (GetParam() == "postgres") {
            PostgresCluster* cluster = PostgresCluster::shared();
            if (!cluster) GTEST_SKIP() << PostgresCluster::unavailableReason();
            location = cluster->createDatabase();
        } else {
            location = (dir / "central_store.db").string();
        }
        open();
        simulate();
    }

    void TearDown() override {
        close();
        StationFixture::TearDown();
    }

    void open() {
        realStore = server::openCentralStore(location);
        store = std::make_unique<CountingStore>(*realStore);
        app = std::make_unique<server::ApplicationServer>(*store, clock);
        http = std::make_unique<server::HttpServer>(*app, server::HttpServerOptions{});
        const int port = http->bindToAnyPort("127.0.0.1");
        http->start();
        writeRegistry("IPServer = 127.0.0.1:" + std::to_string(port) + "\n" + registryExtra);
    }
    void close() {
        if (dm) dm->net.netInsereServidor.close();
        if (dm) dm->net.netAjuste.close();
        if (dm) dm->net.netAtualizaPontuacao.close();
        if (http) http->stop();
        http.reset();
        app.reset();
        store.reset();
        realStore.reset();
    }

    // A copy of the central store as it is now, and its restoring later.
    void snapshot() {
        close();
        if (GetParam() == "postgres") {
            const std::string name = location.substr(location.rfind('/') + 1);
            adminSql(location, "CREATE DATABASE " + name + "_copy TEMPLATE " + name);
        } else {
            std::filesystem::copy_file(location, location + ".copy");
        }
        open();
    }
    void restore() {
        close();
        if (GetParam() == "postgres") {
            const std::string name = location.substr(location.rfind('/') + 1);
            adminSql(location, "DROP DATABASE " + name);
            adminSql(location, "CREATE DATABASE " + name + " TEMPLATE " + name + "_copy");
        } else {
            std::filesystem::remove(location + "-wal");
            std::filesystem::remove(location + "-shm");
            std::filesystem::copy_file(location + ".copy", location,
                                       std::filesystem::copy_options::overwrite_existing);
        }
        open();
    }

    // Two days of twelve sales each, all waiting; transfers of five sales.
    void simulate() {
        simulator::Options o;
        o.stores = {"0001"};
        o.stations = 1;
        o.days = 2;
        o.startDate = "2026-12-04";
        o.salesPerDay = 12;
        o.pendingSales = 24;
        o.seed = 11;
        o.quiet = true;
        simulator::Database db(stationFile().string());
        simulator::fillStation(db.get(), o);
        clock.set(DateTime::fromDateTime(2026, 12, 7, 12, 0, 0));
        shop = scalar("SELECT CDLOJA FROM CAIXA WHERE CDCAIXA = '001'");
        // Every sale closed and new, so that each is sent whole in this test
        // and its day can be complete.
        sql("UPDATE VENDA SET IDSITUVENDA = 'O' WHERE IDSITUVENDA = 'P'");
        sql("UPDATE VENDA SET IDIMPVENDA = 'I', DTEXPVENDA = NULL");
        sql("UPDATE PARAVEND SET NRVENDAEXP = '5'");
    }

    void exportRun() { dm->EnviaVendas("0001", "001", shop, 0); }
    void exportAll() {
        for (int i = 0; i < 20 && waitingSales() > 0; ++i) exportRun();
        ASSERT_EQ(waitingSales(), 0);
    }
    std::int64_t waitingSales() {
        return std::stoll(
            scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA <> 'S' AND "
                   "IDSITUVENDA <> 'P'"));
    }
    std::int64_t closedSales() {
        return std::stoll(scalar("SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA <> 'P'"));
    }
    agent::ReconciliationResult reconcile(int days = 31) {
        return agent::ReconciliaDias(*dm, "0001", "001", days);
    }

    // The station and the central store agree on the sales and their rows
    // (loyalty rows too, which have a flag of their own), every sale held
    // once, every day complete. (Rows of other tables lost centrally are not
    // the reconciliation's: it heals sales.)
    void expectHealed() {
        std::vector<std::string> saleRowsNotHeld;
        for (const std::string& row :
             rowsNotHeld(readExportedRows(*station, "0001/001"), *realStore)) {
            for (const char* table : {"VENDA ", "ITEMVENDA ", "ITVENDAIMPOS "}) {
                if (row.starts_with(table)) saleRowsNotHeld.push_back(row);
            }
        }
        EXPECT_EQ(saleRowsNotHeld, std::vector<std::string>{});
        EXPECT_EQ(pendingRows(*station), std::vector<std::string>{});
        EXPECT_EQ(realStore->rowCount("VENDA"), closedSales());
        EXPECT_EQ(realStore->rowCount("ITFIDELIDADE"),
                  std::stoll(scalar("SELECT COUNT(*) FROM ITFIDELIDADE")));
        const auto fleet = realStore->fleet(clock.now(), clock.today().addDays(-30));
        ASSERT_EQ(fleet.size(), 1u);
        EXPECT_TRUE(fleet[0].shortDays.empty());
    }

    std::vector<std::string> errorLines() const {
        std::vector<std::string> errors;
        for (const auto& line : logLines()) {
            if (line.rfind("ERRO", 0) == 0) errors.push_back(line);
        }
        return errors;
    }

    std::string location, shop, registryExtra;
    std::unique_ptr<server::CentralStore> realStore;
    std::unique_ptr<CountingStore> store;
    std::unique_ptr<server::ApplicationServer> app;
    std::unique_ptr<server::HttpServer> http;
};

TEST_P(Reconcile, ACentralStoreRestoredFromAnEarlierCopyHealsInOneCycleAndOneExport) {
    exportRun();  // five sales of each day sent, with both days' summaries
    ASSERT_GT(waitingSales(), 0);
    snapshot();
    exportAll();
    restore();  // every sale sent since the copy is gone centrally, flagged "S" here
    const std::int64_t held = realStore->rowCount("VENDA");
    // Some of the sales the restore took have loyalty rows.
    ASSERT_LT(realStore->rowCount("ITFIDELIDADE"),
              std::stoll(scalar("SELECT COUNT(*) FROM ITFIDELIDADE")));
    ASSERT_LT(held, closedSales());
    ASSERT_EQ(waitingSales(), 0);

    const auto result = reconcile();
    ASSERT_TRUE(result.succeeded);
    ASSERT_EQ(result.days.size(), 2u);
    std::int64_t resent = 0;
    for (const auto& day : result.days) {
        EXPECT_TRUE(day.recoverable);
        EXPECT_EQ(day.checked, 12);
        EXPECT_EQ(day.reportedSales, 12);
        EXPECT_EQ(day.resent, day.reportedSales - day.heldSales);
        EXPECT_TRUE(logHas("Reconciliação do dia " + day.day.format("dd/mm/yyyy") + ": " +
                           std::to_string(day.resent) + " vendas reenviadas"));
        resent += day.resent;
    }
    EXPECT_EQ(resent, closedSales() - held);
    // Only the sales the server lacks wait; those it holds stay exported.
    EXPECT_EQ(waitingSales(), resent);
    EXPECT_EQ(errorLines(), std::vector<std::string>{});

    sql("UPDATE PARAVEND SET NRVENDAEXP = '100'");
    exportRun();
    expectHealed();
    const auto fleet = realStore->fleet(clock.now(), clock.today().addDays(-30));
    ASSERT_EQ(fleet[0].healedDays.size(), 2u);
    EXPECT_EQ(fleet[0].resentSales, resent);

    // A second reconciliation finds no day short, checks both by key and
    // marks nothing.
    const auto again = reconcile();
    EXPECT_TRUE(again.succeeded);
    ASSERT_EQ(again.days.size(), 2u);
    for (const auto& day : again.days) {
        EXPECT_EQ(day.reportedSales, -1);
        EXPECT_EQ(day.checked, 12);
        EXPECT_EQ(day.resent, 0);
    }
    EXPECT_EQ(waitingSales(), 0);
}

TEST_P(Reconcile, SalesFlaggedByHandWithoutReachingTheServerHealTheSameWay) {
    exportRun();
    // A technician's SQL flags the rest as exported; one held sale is changed
    // at the station after it was sent, another flagged sale is open again.
    sql("UPDATE VENDA SET IDIMPVENDA = 'S'");
    const std::string changed =
        scalar("SELECT MIN(NRSEQVENDA) FROM VENDA WHERE DTEXPVENDA IS NOT NULL");
    sql("UPDATE VENDA SET VRTOTVENDA = VRTOTVENDA + 1 WHERE NRSEQVENDA = '" + changed + "'");
    const std::int64_t held = realStore->rowCount("VENDA");

    const auto result = reconcile();
    ASSERT_TRUE(result.succeeded);
    std::int64_t resent = 0;
    for (const auto& day : result.days) resent += day.resent;
    EXPECT_EQ(resent, closedSales() - held + 1);  // the missing ones and the changed one
    EXPECT_EQ(scalar("SELECT IDIMPVENDA FROM VENDA WHERE NRSEQVENDA = '" + changed + "'"), "I");

    sql("UPDATE PARAVEND SET NRVENDAEXP = '100'");
    exportRun();
    expectHealed();
}

TEST_P(Reconcile, ACompleteDayTriggersNothingAndADayPastTheRetentionIsOnlyReported) {
    exportRun();
    snapshot();
    exportAll();
    auto result = reconcile();
    EXPECT_TRUE(result.succeeded);
    // Both days are checked by key; nothing is marked and no day line written.
    ASSERT_EQ(result.days.size(), 2u);
    for (const auto& day : result.days) EXPECT_EQ(day.resent, 0);
    EXPECT_EQ(waitingSales(), 0);
    EXPECT_TRUE(logHas("Reconciliação: 0 dia(s) incompleto(s) no servidor"));
    EXPECT_TRUE(logHas("Reconciliação: 24 vendas verificadas"));
    EXPECT_FALSE(logHas("Reconciliação do dia 04/12/2026: 0 vendas reenviadas"));
    // Without sales in the window, nothing is asked about.
    const int verifications = store->verifications;
    EXPECT_TRUE(agent::ReconciliaDias(*dm, "0001", "001", 1).days.empty());
    EXPECT_EQ(store->verifications, verifications);

    // Both days lose sales centrally; with three days of retention at 14:00
    // of the 7th the station keeps the 5th on (the cleanup's cut-off, 14:00
    // of the 4th, rounded). Before its cleanup ran, the station still has
    // the 4th's sales and checks them; once they are gone, the 4th cannot
    // be recovered from here.
    restore();
    clock.set(DateTime::fromDateTime(2026, 12, 7, 14, 0, 0));
    sql("UPDATE CAIXA SET NRDIASVENDAMSDE = '3'");
    result = reconcile();
    ASSERT_EQ(result.days.size(), 2u);
    EXPECT_TRUE(result.days[0].recoverable);
    EXPECT_GT(result.days[0].checked, 0);
    sql("UPDATE VENDA SET IDIMPVENDA = 'S'");
    sql("DELETE FROM VENDA WHERE DTENTRVENDA < '2026-12-05'");
    result = reconcile();
    ASSERT_EQ(result.days.size(), 2u);
    EXPECT_FALSE(result.days[0].recoverable);
    EXPECT_EQ(result.days[0].resent, 0);
    EXPECT_TRUE(
        logHas("Reconciliação do dia 04/12/2026: fora da retenção deste caixa (3 dias), "
               "não recuperável por este caixa"));
    EXPECT_TRUE(result.days[1].recoverable);
    EXPECT_GT(result.days[1].resent, 0);
    EXPECT_EQ(result.days[1].resent, result.days[1].reportedSales - result.days[1].heldSales);
    EXPECT_EQ(waitingSales(), result.days[1].resent);
    // One day less and the 5th is past the cut-off too, but its sales are
    // still at the station: it is checked as before.
    sql("UPDATE VENDA SET IDIMPVENDA = 'S'");
    sql("UPDATE CAIXA SET NRDIASVENDAMSDE = '2'");
    result = reconcile();
    ASSERT_EQ(result.days.size(), 2u);
    EXPECT_TRUE(result.days[1].recoverable);
    EXPECT_GT(waitingSales(), 0);
}

// The copy the central store goes back to was taken when the 5th had
// twelve sales, and the station's report of the day said twelve; three sales
// sold and sent since are gone. The day's count matches, so the server names
// no day short: only the check by key finds them.
TEST_P(Reconcile, ARestoreLeavingTheCountsMatchingIsFoundByKey) {
    sql("UPDATE ITFIDELIDADE SET IDIMPTFIDEL = 'N'");  // every loyalty row sent with its sale
    exportAll();
    snapshot();
    {
        simulator::Database db(stationFile().string());
        simulator::addPendingSales(db.get(), "0001", "001", 3,
                                   *simulator::parseIso("2026-12-05 15:00:00.000"), 5);
    }
    exportAll();
    restore();
    ASSERT_EQ(realStore->rowCount("VENDA"), closedSales() - 3);
    ASSERT_TRUE(realStore->fleet(clock.now(), clock.today().addDays(-30))[0].shortDays.empty());

    // At 14:00 of the 7th two days of retention keep the 6th on: the 5th
    // is not the station's to check; three days keep the 5th on.
    clock.set(DateTime::fromDateTime(2026, 12, 7, 14, 0, 0));
    sql("UPDATE CAIXA SET NRDIASVENDAMSDE = '2'");
    EXPECT_TRUE(reconcile().days.empty());
    EXPECT_EQ(waitingSales(), 0);
    sql("UPDATE CAIXA SET NRDIASVENDAMSDE = '3'");
    ASSERT_EQ(reconcile().days.size(), 1u);
    EXPECT_EQ(waitingSales(), 3);
    sql("UPDATE VENDA SET IDIMPVENDA = 'S'");
    sql("UPDATE CAIXA SET NRDIASVENDAMSDE = '140'");

    auto result = reconcile();
    ASSERT_TRUE(result.succeeded);
    ASSERT_EQ(result.days.size(), 2u);
    EXPECT_EQ(result.days[0].resent, 0);
    EXPECT_EQ(result.days[1].day, DateTime::fromDate(2026, 12, 5));
    EXPECT_EQ(result.days[1].reportedSales, -1);
    EXPECT_EQ(result.days[1].checked, 15);
    EXPECT_EQ(result.days[1].resent, 3);
    EXPECT_EQ(waitingSales(), 3);
    EXPECT_TRUE(logHas("Reconciliação do dia 05/12/2026: 3 vendas reenviadas"));
    EXPECT_FALSE(logHas("Reconciliação do dia 04/12/2026: 0 vendas reenviadas"));

    exportRun();
    expectHealed();
    // The second run of the routine finds the window whole.
    result = reconcile();
    ASSERT_EQ(result.days.size(), 2u);
    EXPECT_EQ(result.days[0].resent + result.days[1].resent, 0);
    EXPECT_EQ(waitingSales(), 0);
}

// A sale still waiting to be sent as new is not counted as sent again; one
// waiting as changed ('A', header only) is made to go whole.
TEST_P(Reconcile, SalesStillWaitingAreNotCountedAsSentAgain) {
    exportRun();
    const std::string changed = scalar("SELECT MIN(NRSEQVENDA) FROM VENDA WHERE IDIMPVENDA = 'S'");
    sql("UPDATE VENDA SET IDIMPVENDA = 'A', VRTOTVENDA = VRTOTVENDA + 1 WHERE NRSEQVENDA = '" +
        changed + "'");
    const std::int64_t waiting = waitingSales();
    const auto result = reconcile();
    ASSERT_TRUE(result.succeeded);
    std::int64_t resent = 0;
    for (const auto& day : result.days) resent += day.resent;
    EXPECT_EQ(resent, 1);
    EXPECT_EQ(waitingSales(), waiting);
    EXPECT_EQ(scalar("SELECT IDIMPVENDA FROM VENDA WHERE NRSEQVENDA = '" + changed + "'"), "I");
}

TEST_P(Reconcile, TheAgentsStepCallsOnlyWhenSetAndOncePerDay) {
    exportRun();
    sql("UPDATE VENDA SET IDIMPVENDA = 'S'");  // some days now short for good
    for (const std::string value : {"", "ReconcileDays = 0\n", "ReconcileDays = abc\n"}) {
        registryExtra = value;
        close();
        open();
        agent::reconcileAfterRun(*dm, "0001", "001");
        EXPECT_EQ(store->shortDayQuestions, 0) << value;
        EXPECT_EQ(store->verifications, 0) << value;
    }
    EXPECT_EQ(waitingSales(), 0);
    EXPECT_TRUE(
        logHas("ERRO Except ReconciliaDias: Registry value ReconcileDays must be a number "
               "of days (0 to 3660), not 'abc'"));

    registryExtra = "ReconcileDays = 31\n";
    close();
    open();
    agent::reconcileAfterRun(*dm, "0001", "001");
    EXPECT_EQ(store->shortDayQuestions, 1);
    EXPECT_GT(waitingSales(), 0);
    agent::reconcileAfterRun(*dm, "0001", "001");  // the same day: not again
    EXPECT_EQ(store->shortDayQuestions, 1);
    clock.set(clock.now().addDays(1));
    agent::reconcileAfterRun(*dm, "0001", "001");
    EXPECT_EQ(store->shortDayQuestions, 2);
}

TEST_P(Reconcile, TheOperatorsToolDoesTheSameOnceAndSaysWhatItDid) {
    exportRun();
    sql("UPDATE VENDA SET IDIMPVENDA = 'S'");
    // The tool runs on the machine's clock: every day is inside this retention.
    sql("UPDATE CAIXA SET NRDIASVENDAMSDE = '100000'");
    const std::map<std::string, std::string> env{
        {"QELEXP_REGISTRY", (dir / "registry.conf").string()}, {"QELEXP_LOCK_DIR", dir.string()}};
    auto run = [&](std::vector<std::string> extra) {
        std::vector<std::string> argv{RECONCILE, "--store",  "0001",      "--station",
                                      "001",     "--folder", dir.string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return runChild(argv, env, dir);
    };
    const std::int64_t held4 = std::stoll(scalar(
        "SELECT COUNT(*) FROM VENDA WHERE DTEXPVENDA IS NOT NULL AND DTENTRVENDA < '2026-12-05'"));

    // Only the 5th: the 4th's sales stay as they are.
    ChildResult r = run({"--day", "05/12/2026"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("05/12/2026: the station reports 12 sale(s), the server holds "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("04/12/2026"), std::string::npos) << r.out;
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'I' AND DTENTRVENDA < "
                     "'2026-12-05'"),
              "0");
    const std::int64_t waiting5 = waitingSales();
    EXPECT_GT(waiting5, 0);

    r = run({});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("04/12/2026: the station reports 12 sale(s), the server holds " +
                         std::to_string(held4) + "; 12 sale(s) of the station checked, " +
                         std::to_string(12 - held4) + " marked to be sent again"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(waitingSales(), waiting5 + 12 - held4);

    // Mistakes in the call, and a server that does not answer.
    EXPECT_EQ(run({"--day", "31/02/2026"}).exitCode, 2);
    EXPECT_EQ(run({"--day", "5/12/2026"}).exitCode, 2);
    EXPECT_EQ(runChild({RECONCILE, "--store", "0001"}, env, dir).exitCode, 2);
    close();
    r = run({});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.err.find("reconciliation failed"), std::string::npos) << r.err;
}

// The window reaches back exactly its days, and the days the server did not
// name come in date order with no figures of the server's.
TEST_P(Reconcile, TheWindowReachesBackItsDaysExactlyAndListsThemInDateOrder) {
    exportAll();
    const DateTime fourth = DateTime::fromDate(2026, 12, 4),
                   fifth = DateTime::fromDate(2026, 12, 5);
    auto result = reconcile(4);  // the 4th to the 7th
    ASSERT_TRUE(result.succeeded);
    ASSERT_EQ(result.days.size(), 2u);
    EXPECT_EQ(result.days[0].day, fourth);
    EXPECT_EQ(result.days[1].day, fifth);
    for (const auto& day : result.days) {
        EXPECT_EQ(day.reportedSales, -1);
        EXPECT_EQ(day.heldSales, -1);
        EXPECT_EQ(day.checked, 12);
        EXPECT_EQ(day.resent, 0);
    }
    // One day less: the 4th is outside the window.
    result = reconcile(3);
    ASSERT_EQ(result.days.size(), 1u);
    EXPECT_EQ(result.days[0].day, fifth);
}

TEST_P(Reconcile, TheRetentionIsTheStationsNumberOfDaysOr140) {
    exportAll();
    for (const auto& [value, days] : std::vector<std::pair<std::string, int>>{
             {"'7'", 7}, {"'x'", 140}, {"NULL", 140}, {"'141'", 141}}) {
        sql("UPDATE CAIXA SET NRDIASVENDAMSDE = " + value);
        EXPECT_EQ(reconcile().retentionDays, days) << value;
    }
    // A station the database has no settings for.
    EXPECT_EQ(agent::ReconciliaDias(*dm, "0001", "002", 31).retentionDays, 140);
}

TEST_P(Reconcile, TheOperatorsDayIsCheckedAlsoWhenTheServerDoesNotNameIt) {
    exportAll();
    const auto result =
        agent::ReconciliaDias(*dm, "0001", "001", 31, DateTime::fromDateTime(2026, 12, 5, 9, 0, 0));
    ASSERT_TRUE(result.succeeded);
    ASSERT_EQ(result.days.size(), 1u);
    EXPECT_EQ(result.days[0].day, DateTime::fromDate(2026, 12, 5));
    EXPECT_EQ(result.days[0].checked, 12);
}

TEST_P(Reconcile, AOneDayWindowRunsAndTheDayIsKeptInAFileNamedForTheStation) {
    exportAll();
    registryExtra = "ReconcileDays = 1\n";
    close();
    open();
    agent::reconcileAfterRun(*dm, "0001", "001");
    EXPECT_EQ(store->shortDayQuestions, 1);
    std::string day;
    std::getline(std::ifstream(dir / "Dados" / "Reconciliacao_0001_001.txt"), day);
    EXPECT_EQ(day, "07/12/2026");
    // Characters a file name should not hold become '-'.
    agent::reconcileAfterRun(*dm, "0001", "0~1");
    EXPECT_EQ(store->shortDayQuestions, 2);
    EXPECT_TRUE(std::filesystem::exists(dir / "Dados" / "Reconciliacao_0001_0-1.txt"));
}

INSTANTIATE_TEST_SUITE_P(Engines, Reconcile, ::testing::Values("sqlite", "postgres"),
                         [](const auto& param) { return param.param; });

}  // namespace
}  // namespace qel::testing
