// A central store after things go wrong or come to an end: a statement that
// fails leaves nothing half done and the store serving the next call, a date
// a station reports without a value replaces the one it had, and a SQLite
// store that is closed is one file with everything in it.

#include <sqlite3.h>

#include "postgres_connection.h"
#include "store_fixture.h"

namespace qel::testing {
namespace {

using server::InsertBatch;
using server::StationDate;

const DateTime kNoon = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
const DateTime kDay = DateTime::fromDate(2026, 12, 6);

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// One sale of 10.00 on the day, and the station's summary of two such sales.
InsertBatch oneSale(const std::string& number) {
    InsertBatch b;
    b.store = "0001";
    b.station = "001";
    b.receivedAt = kNoon;
    const Bytes key = bytesOf("0001/001/" + number);
    b.rows = {{"VENDA", key, bytesOf("sale " + number)}};
    b.sales = {{key, "0001", "001", kDay, 100000}};
    b.summaries = {{"0001", "001", kDay, 2, 200000}};
    return b;
}

class StoreRecovery : public StoreTest {
  protected:
    // Runs SQL on the same database through a connection of its own.
    void execElsewhere(const std::string& sql) {
        if (GetParam() == "postgres") {
            server::pg::Connection(location_).exec(sql.c_str());
            return;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(location_.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
};

TEST_P(StoreRecovery, AFailedStatementUndoesItsCallAndTheNextCallsSucceed) {
    ASSERT_EQ(store_->putBatch(oneSale("1")), 1);
    // The day summaries go missing under the store's feet.
    execElsewhere("ALTER TABLE day_summary RENAME TO day_summary_away");
    EXPECT_ANY_THROW(store_->putBatch(oneSale("2")));
    EXPECT_ANY_THROW(store_->findShortDays("0001", "001", kDay, kNoon));
    EXPECT_ANY_THROW(store_->fleet(kNoon, kDay));
    EXPECT_EQ(store_->rowCount("VENDA"), 1) << "the failed batch stored its row";
    execElsewhere("ALTER TABLE export_row RENAME TO export_row_away");
    EXPECT_ANY_THROW(store_->getContents({{"VENDA", bytesOf("0001/001/1")}}));

    // Once they are back, every call works again, on the same store.
    execElsewhere(
        "ALTER TABLE day_summary_away RENAME TO day_summary; "
        "ALTER TABLE export_row_away RENAME TO export_row");
    EXPECT_EQ(store_->getContents({{"VENDA", bytesOf("0001/001/1")}})[0], bytesOf("sale 1"));
    const auto shortBefore = store_->findShortDays("0001", "001", kDay, kNoon);
    ASSERT_EQ(shortBefore.size(), 1u);
    EXPECT_EQ(shortBefore[0].heldSales, 1);
    EXPECT_EQ(store_->putBatch(oneSale("2")), 1);
    EXPECT_TRUE(store_->findShortDays("0001", "001", kDay, kNoon).empty());
    ASSERT_EQ(store_->fleet(kNoon, kDay).size(), 1u);
}

TEST_P(StoreRecovery, ADateReportedWithoutAValueReplacesTheOneBefore) {
    const DateTime when = kNoon.addDays(-1);
    store_->recordDate("0001", "001", {"DTULTATUEXT", when}, kNoon);
    EXPECT_EQ(store_->reportedDate("0001", "001", "DTULTATUEXT"), when);
    store_->recordDate("0001", "001", {"DTULTATUEXT", std::nullopt}, kNoon);
    EXPECT_FALSE(store_->reportedDate("0001", "001", "DTULTATUEXT").has_value());

    // The same through a transfer's own two dates.
    InsertBatch b = oneSale("1");
    b.dates = {{"DTULTATUEXT", when}, {"DTULTATUMCLI", std::nullopt}};
    store_->putBatch(b);
    EXPECT_EQ(store_->reportedDate("0001", "001", "DTULTATUEXT"), when);
    EXPECT_FALSE(store_->reportedDate("0001", "001", "DTULTATUMCLI").has_value());
}

// A day found short heals when the station's summary comes down to what is
// held: nothing was re-sent for it, and the fleet says so.
TEST_P(StoreRecovery, ADayHealedByACorrectedSummaryCountsNoSaleResent) {
    store_->putBatch(oneSale("1"));  // one of the two sales summarised
    ASSERT_EQ(store_->findShortDays("0001", "001", kDay, kNoon).size(), 1u);
    InsertBatch corrected;
    corrected.store = "0001";
    corrected.station = "001";
    corrected.receivedAt = kNoon.addMinutes(5);
    corrected.summaries = {{"0001", "001", kDay, 1, 100000}};
    store_->putBatch(corrected);
    const auto fleet = store_->fleet(kNoon, kDay);
    ASSERT_EQ(fleet.size(), 1u);
    EXPECT_TRUE(fleet[0].shortDays.empty());
    ASSERT_EQ(fleet[0].healedDays.size(), 1u);
    EXPECT_EQ(fleet[0].healedDays[0].sales, 0);
    EXPECT_EQ(fleet[0].resentSales, 0);
    // A sale re-sent for a day found short again counts one.
    store_->putBatch(oneSale("2"));  // the summary says two again, two are held
    corrected.summaries = {{"0001", "001", kDay, 3, 300000}};
    store_->putBatch(corrected);
    ASSERT_EQ(store_->findShortDays("0001", "001", kDay, kNoon.addMinutes(10)).size(), 1u);
    store_->putBatch(oneSale("3"));
    const auto after = store_->fleet(kNoon, kDay);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].resentSales, 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreRecovery, ::testing::Values("sqlite", "postgres"),
                         engineName);

// A backup may copy the file alone once the server has stopped: nothing of
// it may be left in a write-ahead log beside it.
TEST(SqliteFile, AClosedStoreIsOneFileHoldingEverything) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("qel_closed_store_" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const auto file = folder / "central.db";
    {
        auto store = server::openSqliteStore(file);
        InsertBatch b = oneSale("1");
        b.dates = {{"DTULTATUEXT", kNoon}};
        store->putBatch(b);
        store->getContents({{"VENDA", bytesOf("0001/001/1")}});
        ASSERT_TRUE(std::filesystem::exists(folder / "central.db-wal"));
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "central.db-wal"));
    // What a backup would copy: the file alone, under another name.
    const auto copy = folder / "copy.db";
    std::filesystem::copy_file(file, copy);
    auto restored = server::openSqliteStore(copy);
    EXPECT_EQ(restored->rowCount("VENDA"), 1);
    EXPECT_EQ(restored->reportedDate("0001", "001", "DTULTATUEXT"), kNoon);
    restored.reset();
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace qel::testing
