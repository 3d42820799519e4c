// The chaos checker against a real station database (shadows installed, rows
// written by the simulator) and a real SQLite central store.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "central_rows.h"
#include "central_store.h"
#include "checked_tables.h"
#include "consistency_check.h"
#include "core/clock.h"
#include "core/error.h"
#include "db/connection.h"
#include "export_rows.h"
#include "row_check.h"
#include "shadow.h"
#include "simulator/simulator.h"
#include "sqlite_file.h"
#include "station_backups.h"
#include "table_rules.h"

namespace qel::chaos {
namespace {

namespace fs = std::filesystem;

class ChaosCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("chaos-check-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        station_ = dir_ / "QELCAIXA.db";
        simulator::Options o;
        o.dbPath = station_.string();
        o.stations = 1;
        o.days = 0;
        simulator::fillStation(o);
        installShadows(station_);
        installShadows(station_);  // a second install changes nothing
        simulator::Database db(station_.string());
        simulator::addPendingSales(db.get(), "0001", "001", 12,
                                   *simulator::parseIso("2026-12-07 10:00:00.000"), 3);
        store_ = server::openSqliteStore(dir_ / "central.db");
    }
    void TearDown() override {
        store_.reset();
        fs::remove_all(dir_);
    }

    void sql(const std::string& text) {
        SqliteFile db(station_, false);
        db.execute(text);
    }

    // Stores, as the server would, every current row of the checked tables
    // (the station's live rows, not the shadows), then flags the rows sent.
    void exportEverything() {
        SystemClock clock;
        db::Connection c(
            clock, "Provider=SQLite;Data Source=" + dir_.string() + ";Initial Catalog=QELCAIXA");
        server::InsertBatch batch;
        batch.store = "0001";
        batch.station = "001";
        for (const CheckedTable& t : snapshotTables()) {
            const Dataset data = c.query("SELECT * FROM " + std::string(t.table));
            const server::TableRule& rule = ruleOf(t.table);
            const server::PacketView view(rule, data);
            for (std::size_t r = 0; r < data.recordCount(); ++r) {
                server::StoredRow row{std::string(rule.table), {}, {}};
                ASSERT_FALSE(view.analyse(r, nullptr, "0001/001", row.key, row.content));
                batch.rows.push_back(std::move(row));
            }
        }
        c.close();
        store_->putBatch(batch);
        std::string flags;
        for (const CheckedTable& t : snapshotTables()) {
            if (!t.flag.empty()) {
                flags += "UPDATE " + std::string(t.table) + " SET " + std::string(t.flag) +
                         " = 'S' WHERE " + std::string(t.flag) + " <> 'S';";
            }
        }
        sql(flags);
    }

    void addSales(int count, const char* at) {
        simulator::Database db(station_.string());
        simulator::addPendingSales(db.get(), "0001", "001", count, *simulator::parseIso(at), 3);
    }

    TableCheck check(std::string_view table, std::vector<fs::path> earlier = {}) {
        auto central = openCentralRows((dir_ / "central.db").string());
        for (TableCheck& t : checkRows({StationHistory{station_, earlier}}, *central)) {
            if (t.table == table) return t;
        }
        ADD_FAILURE() << "no table " << table;
        return {};
    }

    fs::path dir_, station_;
    std::unique_ptr<server::CentralStore> store_;
};

TEST_F(ChaosCheck, ExportedRowsHeldCentrallyPassAndWaitingRowsArePending) {
    const TableCheck before = check("VENDA");
    EXPECT_EQ(before.written, 12);
    EXPECT_EQ(before.pending, 12);
    EXPECT_EQ(before.lost, 0);

    exportEverything();
    for (const TableCheck& t :
         checkRows({station_}, *openCentralRows((dir_ / "central.db").string()))) {
        EXPECT_EQ(t.lost, 0) << t.table;
        EXPECT_EQ(t.pending, 0) << t.table;
        EXPECT_EQ(t.duplicates + t.unexpected, 0) << t.table;
        EXPECT_EQ(t.written, t.settled) << t.table;
    }
    // The acknowledgement's own columns change nothing; the cleanup's
    // deletion of exported rows loses nothing that is held.
    sql("UPDATE VENDA SET DTEXPVENDA = '2026-12-07 10:30:00.000', NRSEQVENDAMSDE = NRSEQVENDA;"
        "DELETE FROM ITEMVENDA WHERE NRSEQVENDA = (SELECT MIN(NRSEQVENDA) FROM VENDA);");
    EXPECT_EQ(check("VENDA").lost, 0);
    const TableCheck items = check("ITEMVENDA");
    EXPECT_GT(items.deleted, 0);
    EXPECT_EQ(items.lost, 0);
}

TEST_F(ChaosCheck, RowsMissingCentrallyAreLostAndThoseStillFlaggedAreFalselyFlagged) {
    // A sale deleted at the station before it was ever sent...
    sql("DELETE FROM VENDA WHERE NRSEQVENDA = (SELECT MAX(NRSEQVENDA) FROM VENDA)");
    exportEverything();
    // ...and one changed, then flagged without being sent again.
    sql("UPDATE VENDA SET VRTOTVENDA = VRTOTVENDA + 1, IDIMPVENDA = 'A' WHERE NRSEQVENDA = "
        "(SELECT MIN(NRSEQVENDA) FROM VENDA); UPDATE VENDA SET IDIMPVENDA = 'S';");
    const TableCheck t = check("VENDA");
    EXPECT_EQ(t.written, 12);
    EXPECT_EQ(t.deleted, 1);
    EXPECT_EQ(t.lost, 2);
    EXPECT_EQ(t.falselyFlagged, 1);
    EXPECT_EQ(t.pending, 0);
    ASSERT_EQ(t.examples.size(), 2u);
    const std::string both = t.examples[0] + "\n" + t.examples[1];
    EXPECT_NE(both.find("falsely flagged, held with other content"), std::string::npos) << both;
    EXPECT_NE(both.find("lost (deleted), not held"), std::string::npos) << both;
}

TEST_F(ChaosCheck, MovementsLeftUnflaggedBesideTheirFlaggedSaleAreUnflaggedOrStranded) {
    // The movements of one sale are never sent, every other row is; then the
    // movements of that sale and of another wait again beside their flagged
    // sales, as when the agent dies between the sale's acknowledgement and
    // the movements'.
    const std::string a = "(SELECT MIN(NRSEQVENDA) FROM MOVCAIXA)";
    const std::string b = "(SELECT MAX(NRSEQVENDA) FROM MOVCAIXA)";
    sql("CREATE TABLE HIDDEN AS SELECT * FROM MOVCAIXA WHERE NRSEQVENDA = " + a +
        "; DELETE FROM MOVCAIXA WHERE NRSEQVENDA = " + a);
    exportEverything();
    sql("INSERT INTO MOVCAIXA SELECT * FROM HIDDEN; UPDATE MOVCAIXA SET IDIMPMOVCAIXA = 'N' WHERE "
        "NRSEQVENDA IN (" +
        a + ", " + b + ");");
    SqliteFile db(station_, true);
    const auto hidden = std::stoll(db.scalar("SELECT COUNT(*) FROM HIDDEN"));
    const auto waiting =
        std::stoll(db.scalar("SELECT COUNT(*) FROM MOVCAIXA WHERE IDIMPMOVCAIXA = 'N'"));
    ASSERT_GT(hidden, 0);
    ASSERT_GT(waiting, hidden);
    const TableCheck t = check("MOVCAIXA");
    EXPECT_EQ(t.stranded, hidden);
    EXPECT_EQ(t.unflagged, waiting - hidden);
    EXPECT_EQ(t.pending, 0);
    EXPECT_EQ(t.lost, 0);
}

TEST_F(ChaosCheck, CentralRowsNoStationWroteAreUnexpectedAndSecondCopiesAreDuplicates) {
    exportEverything();
    {
        SqliteFile central(dir_ / "central.db", false);
        // A second copy of a sale under another key, and a row of content
        // no station ever had.
        // (A random digest stands for the key's: these rows are only read back.)
        central.execute(
            "CREATE TEMP VIEW copy_of_a_sale AS SELECT * FROM export_row "
            "WHERE table_name = 'VENDA' ORDER BY rowid LIMIT 1;"
            "INSERT INTO export_row (table_name, key_prefix, key_digest, row_key, store, station, "
            "content, received_at) SELECT table_name, substr(k, 1, 64), randomblob(32), k, store, "
            "station, content, received_at FROM (SELECT *, row_key || X'00' AS k FROM "
            "copy_of_a_sale);"
            "INSERT INTO export_row (table_name, key_prefix, key_digest, row_key, store, station, "
            "content, received_at) SELECT table_name, substr(k, 1, 64), randomblob(32), k, store, "
            "station, content || X'00', received_at "
            "FROM (SELECT *, row_key || X'01' AS k FROM copy_of_a_sale);"
            // Another store's rows are not this station's business.
            "INSERT INTO export_row (table_name, key_prefix, key_digest, row_key, store, station, "
            "content, received_at) SELECT table_name, substr(k, 1, 64), randomblob(32), k, '0009', "
            "station, content || X'01', received_at "
            "FROM (SELECT *, row_key || X'02' AS k FROM copy_of_a_sale);");
    }
    const TableCheck t = check("VENDA");
    EXPECT_EQ(t.duplicates, 1);
    EXPECT_EQ(t.unexpected, 1);
    EXPECT_EQ(t.lost, 0);
}

TEST_F(ChaosCheck, SalesOpenAtTheTillAreNotPendingAndAStationWithoutShadowsIsRefused) {
    sql("UPDATE VENDA SET IDSITUVENDA = 'P' WHERE NRSEQVENDA = (SELECT MIN(NRSEQVENDA) FROM "
        "VENDA)");
    const TableCheck t = check("VENDA");
    EXPECT_EQ(t.open, 1);
    EXPECT_EQ(t.pending, 11);

    const fs::path bare = dir_ / "bare.db";
    simulator::Options o;
    o.dbPath = bare.string();
    o.stations = 1;
    o.days = 0;
    simulator::fillStation(o);
    auto central = openCentralRows((dir_ / "central.db").string());
    EXPECT_THROW(checkRows({bare}, *central), Error);
}

TEST_F(ChaosCheck, AStationRestoredFromABackupIsJudgedWithWhatTheRestoreTookAway) {
    const fs::path backup = dir_ / "backup.db";
    copyDatabase(station_, backup);  // its 12 sales still waiting
    exportEverything();
    addSales(2, "2026-12-07 10:10:00.000");  // sales 13 and 14, sent
    exportEverything();
    addSales(2, "2026-12-07 10:20:00.000");  // 15 and 16, never sent
    const fs::path taken = dir_ / "restored" / "1.db";
    copyDatabase(station_, taken);
    restoreDatabase(station_, backup);
    EXPECT_FALSE(fs::exists(station_.string() + "-wal"));
    // The till numbers its next sale 13 again, with other content.
    addSales(1, "2026-12-07 10:30:00.000");
    ASSERT_EQ(earlierCopies(dir_ / "restored"), std::vector<fs::path>{taken});

    TableCheck t = check("VENDA", {taken});
    EXPECT_EQ(t.written, 17);  // the new 13 at the station, the first 13 to 16 in the copy
    EXPECT_EQ(t.pending, 13);  // 1 to 12 came back waiting, and the new 13
    EXPECT_EQ(t.settled, 2);   // the first 13 and 14, held
    EXPECT_EQ(t.goneWithRestore, 2);
    EXPECT_EQ(t.reused, 0);
    EXPECT_EQ(t.lost + t.unexpected + t.duplicates, 0);
    // Without the copy, the central rows of the sales the restore took away
    // are rows no station ever wrote.
    EXPECT_EQ(check("VENDA").unexpected, 1);

    // The agent sends again what came back waiting, and the new sale 13.
    exportEverything();
    t = check("VENDA", {taken});
    EXPECT_EQ(t.pending, 0);
    EXPECT_EQ(t.settled, 15);
    EXPECT_EQ(t.reused, 1);  // the first 13, whose key now holds the new one
    EXPECT_EQ(t.lost + t.unexpected + t.duplicates, 0);
    EXPECT_EQ(t.goneWithRestore, 2);

    // A row the copy had flagged exported must be held centrally: had sale
    // 16 been flagged unsent before the restore, it is lost.
    {
        SqliteFile copy(taken, false);
        copy.execute(
            "UPDATE VENDA SET IDIMPVENDA = 'S' WHERE NRSEQVENDA = (SELECT MAX(NRSEQVENDA) FROM "
            "VENDA)");
    }
    t = check("VENDA", {taken});
    EXPECT_EQ(t.lost, 1);
    EXPECT_EQ(t.goneWithRestore, 1);
}

// The central store replaced by an older copy of itself after sales 13 and
// 14 were sent and flagged, the store as the restore found it kept aside.
// The snapshot a test takes of a station judges by the same keys and
// contents: rows flagged but not held, or held with other columns than the
// acknowledgement's, are named; rows still waiting are counted.
TEST_F(ChaosCheck, ASnapshotNamesFlaggedRowsNotHeldAsTheyAreAndRowsWaiting) {
    SystemClock clock;
    db::Connection c(clock,
                     "Provider=SQLite;Data Source=" + dir_.string() + ";Initial Catalog=QELCAIXA");
    const ExportedRows before = readExportedRows(c, "0001/001");
    EXPECT_EQ(pendingRows(c)[0], "VENDA: 12 pending");
    auto problems = [&] {
        return rowsNotHeld(readExportedRows(c, "0001/001").without(before), *store_);
    };

    exportEverything();
    EXPECT_TRUE(pendingRows(c).empty());
    EXPECT_GT(readExportedRows(c, "0001/001").without(before).size(), 12u);
    EXPECT_EQ(problems(), std::vector<std::string>{});
    // What the acknowledgement writes is no difference.
    sql("UPDATE VENDA SET DTEXPVENDA = '2026-12-07 10:30:00.000', NRSEQVENDAMSDE = 7");
    EXPECT_EQ(problems(), std::vector<std::string>{});

    const std::string first =
        SqliteFile(station_, true).scalar("SELECT MIN(NRSEQVENDA) FROM VENDA");
    sql("UPDATE VENDA SET VRTOTVENDA = VRTOTVENDA + 1, VRDESCVENDA = 1 WHERE NRSEQVENDA = '" +
        first + "'");
    addSales(1, "2026-12-07 10:10:00.000");
    EXPECT_EQ(pendingRows(c), std::vector<std::string>{"VENDA: 1 pending"});
    sql("UPDATE VENDA SET IDIMPVENDA = 'S'");
    const std::vector<std::string> found = problems();
    const auto named = [&](const std::string& text) {
        return std::count_if(found.begin(), found.end(), [&](const std::string& p) {
            return p.find(text) != std::string::npos;
        });
    };
    EXPECT_EQ(named("VENDA (0001, 001, " + first + "): held with other VRDESCVENDA, VRTOTVENDA"),
              1);
    EXPECT_EQ(named("VENDA (0001, 001, 0000000013): flagged as exported, not held"), 1);
    EXPECT_GT(named("ITEMVENDA (0001, 001, 0000000013, "), 0);
    EXPECT_EQ(named("held with other columns"), 0);
}

class ChaosCheckCentralRestore : public ChaosCheck {
  protected:
    void SetUp() override {
        ChaosCheck::SetUp();
        replaced_ = dir_ / "replaced.db";
        exportEverything();
        const fs::path copy = dir_ / "central-copy.db";
        copyDatabase(dir_ / "central.db", copy);
        addSales(2, "2026-12-07 10:10:00.000");
        exportEverything();
        store_.reset();
        copyDatabase(dir_ / "central.db", replaced_);
        restoreDatabase(dir_ / "central.db", copy);
        store_ = server::openSqliteStore(dir_ / "central.db");
    }
    std::vector<TableCheck> checkAll(bool withReplaced = true) {
        auto central = openCentralRows((dir_ / "central.db").string());
        auto before = openCentralRows(replaced_.string());
        std::vector<CentralRows*> replaced;
        if (withReplaced) replaced.push_back(before.get());
        return checkRows({StationHistory{station_, {}}}, *central, replaced);
    }
    static const TableCheck& of(const std::vector<TableCheck>& all, std::string_view table) {
        return *std::find_if(all.begin(), all.end(),
                             [&](const TableCheck& t) { return t.table == table; });
    }
    // Deletes the newest sale with every row of it, as the station's cleanup does.
    void cleanUpNewestSale() {
        const std::string newest =
            SqliteFile(station_, true).scalar("SELECT MAX(NRSEQVENDA) FROM VENDA");
        std::string text;
        for (const CheckedTable& t : checkedTables()) {
            if (t.table != "VENDA" && !t.saleChild && !t.onlyWithItsSale) continue;
            text += "DELETE FROM " + std::string(t.table) + " WHERE NRSEQVENDA = '" + newest + "';";
        }
        sql(text);
    }

    fs::path replaced_;
};

TEST_F(ChaosCheckCentralRestore, SalesStillFlaggedAtTheStationAreLostUntilSentAgain) {
    const auto all = checkAll();
    const TableCheck& sales = of(all, "VENDA");
    // Still at the station, flagged: the reconciliation of the short day
    // must send them again, so until then they are lost.
    EXPECT_EQ(sales.lost, 2);
    EXPECT_EQ(sales.falselyFlagged, 2);
    EXPECT_EQ(sales.goneWithCentralRestore, 0);
    EXPECT_EQ(of(all, "ITEMVENDA").goneWithCentralRestore, 0);
    EXPECT_GT(of(all, "ITEMVENDA").lost, 0);

    // Made to wait again and sent: held, nothing lost.
    sql("UPDATE VENDA SET IDIMPVENDA = 'I' WHERE NRSEQVENDA > 12");
    exportEverything();
    for (const TableCheck& t : checkAll()) {
        EXPECT_EQ(t.lost + t.falselyFlagged + t.goneWithCentralRestore, 0) << t.table;
        EXPECT_EQ(t.pending + t.duplicates + t.unexpected, 0) << t.table;
    }
}

TEST_F(ChaosCheckCentralRestore, ASaleItsStationCleanedUpIsGoneWithTheRestoreOnlyWhenItWasHeld) {
    // Sale 15 flagged without being sent, then cleaned up: no store ever
    // held it, so it is lost whatever was restored.
    addSales(1, "2026-12-07 10:20:00.000");
    sql("UPDATE VENDA SET IDIMPVENDA = 'S'");
    cleanUpNewestSale();
    cleanUpNewestSale();  // 14, which the replaced store held
    const auto all = checkAll();
    EXPECT_EQ(of(all, "VENDA").lost, 2);  // 13, still flagged at the station, and 15
    EXPECT_EQ(of(all, "VENDA").goneWithCentralRestore, 1);
    EXPECT_EQ(of(all, "VENDA").deleted, 2);
    EXPECT_GT(of(all, "ITEMVENDA").goneWithCentralRestore, 0);
    // A second check of the same files finds the same.
    EXPECT_EQ(of(checkAll(), "VENDA").goneWithCentralRestore, 1);
    // Without the store the restore found, nothing says the server held 14.
    const auto blind = checkAll(false);
    EXPECT_EQ(of(blind, "VENDA").lost, 3);
    EXPECT_EQ(of(blind, "VENDA").goneWithCentralRestore, 0);
}

// Two timelines of one station: sales 13 and 14 sold and exported, the
// station restored from a backup older than them, the till selling other
// sales 13 and 14, which the server keeps in their place.
class ChaosCheckReusedKeys : public ChaosCheck {
  protected:
    void SetUp() override {
        ChaosCheck::SetUp();
        older_ = dir_ / "older.db";
        firstTimeline_ = dir_ / "first.db";
        exportEverything();
        copyDatabase(station_, older_);
        addSales(2, "2026-12-07 10:10:00.000");
        exportEverything();
        copyDatabase(station_, firstTimeline_);
        restoreKeeping(older_);
        addSales(2, "2026-12-07 10:20:00.000");
        exportEverything();
    }
    // Restores the station from `backup`, keeping what the restore found as
    // the run does.
    void restoreKeeping(const fs::path& backup) {
        const fs::path taken = dir_ / "restored" / (std::to_string(++restores_) + ".db");
        copyDatabase(station_, taken);
        restoreDatabase(station_, backup);
    }
    std::vector<TableCheck> checkAll() {
        auto central = openCentralRows((dir_ / "central.db").string());
        return checkRows({StationHistory{station_, earlierCopies(dir_ / "restored")}}, *central);
    }
    static const TableCheck& sales(const std::vector<TableCheck>& all) {
        return *std::find_if(all.begin(), all.end(),
                             [](const TableCheck& t) { return t.table == "VENDA"; });
    }

    fs::path older_, firstTimeline_;
    int restores_ = 0;
};

TEST_F(ChaosCheckReusedKeys, TheStationEndingWithTheSalesHeldCountsTheReplacedOnesAsReused) {
    const auto all = checkAll();
    const TableCheck& t = sales(all);
    EXPECT_EQ(t.written, 16);  // 1 to 12, the first 13 and 14, the second 13 and 14
    EXPECT_EQ(t.settled, 16);
    EXPECT_EQ(t.reused, 2);
    EXPECT_EQ(t.lost + t.falselyFlagged + t.pending + t.unexpected + t.duplicates, 0);
    std::int64_t reused = 0;
    for (const TableCheck& table : all) {
        EXPECT_EQ(table.lost + table.falselyFlagged + table.unexpected, 0) << table.table;
        reused += table.reused;
    }
    EXPECT_GT(reused, t.reused);  // their items, taxes and movements too
}

TEST_F(ChaosCheckReusedKeys, TheStationEndingWithTheReplacedSalesFlaggedIsNotFalselyFlagged) {
    // A second restore brings back the first timeline, whose sales 13 and 14
    // are flagged exported while the server holds the second ones.
    restoreKeeping(firstTimeline_);
    const auto all = checkAll();
    const TableCheck& t = sales(all);
    EXPECT_EQ(t.written, 16);
    EXPECT_EQ(t.settled, 16);
    EXPECT_EQ(t.reused, 2);
    EXPECT_EQ(t.lost + t.falselyFlagged + t.pending + t.unexpected + t.duplicates, 0);
    for (const TableCheck& table : all) {
        EXPECT_EQ(table.lost + table.falselyFlagged + table.unexpected, 0) << table.table;
    }
    // A second check of the same files finds the same.
    EXPECT_EQ(sales(checkAll()).reused, 2);
}

TEST_F(ChaosCheckReusedKeys, AKeyHeldWithContentNoTimelineWroteIsLostInEveryTimeline) {
    restoreKeeping(firstTimeline_);
    {
        SqliteFile central(dir_ / "central.db", false);
        central.execute(
            "UPDATE export_row SET content = content || X'00' WHERE table_name = 'VENDA' AND "
            "instr(row_key, CAST('0000000013' AS BLOB)) > 0");
    }
    const TableCheck t = sales(checkAll());
    // The first 13 at the station and the second in the copy: both were
    // flagged exported, and the server holds neither.
    EXPECT_EQ(t.lost, 2);
    EXPECT_EQ(t.falselyFlagged, 2);
    EXPECT_EQ(t.reused, 1);  // 14
    bool named = false;
    for (const std::string& e : t.examples)
        named = named || e.find("falsely flagged, held with other content") != std::string::npos;
    EXPECT_TRUE(named);
}

// The second sales 13 and 14 replaced the first ones centrally, then a
// central restore took them, then the station went back to its older backup:
// neither version is anywhere to be sent again. The first ones are reused
// keys (the server held another row of their till under them), the second
// ones went with the central restore; nothing is lost.
TEST_F(ChaosCheckReusedKeys, AKeyWhoseLaterRowACentralRestoreTookIsReusedNotLost) {
    const fs::path replaced = dir_ / "replaced.db";
    store_.reset();
    copyDatabase(dir_ / "central.db", replaced);
    {
        SqliteFile central(dir_ / "central.db", false);
        central.execute(
            "DELETE FROM export_row WHERE instr(row_key, CAST('0000000013' AS BLOB)) > 0 OR "
            "instr(row_key, CAST('0000000014' AS BLOB)) > 0");
    }
    restoreKeeping(older_);
    auto central = openCentralRows((dir_ / "central.db").string());
    auto before = openCentralRows(replaced.string());
    const auto all = checkRows({StationHistory{station_, earlierCopies(dir_ / "restored")}},
                               *central, {before.get()});
    const TableCheck& t = sales(all);
    EXPECT_EQ(t.reused, 2);
    EXPECT_EQ(t.goneWithCentralRestore, 2);
    for (const TableCheck& table : all) {
        EXPECT_EQ(table.lost + table.falselyFlagged, 0) << table.table;
    }
    // Without the store the restore replaced, nothing explains either version.
    EXPECT_EQ(sales(checkAll()).lost, 4);
}

}  // namespace
}  // namespace qel::chaos
