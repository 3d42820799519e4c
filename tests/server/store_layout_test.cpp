// The central stores' table layout: a large row costs only its own reads, and
// stores written by an earlier layout open with their rows and keep working.

#include <sqlite3.h>

#include <fstream>

#include "postgres_connection.h"
#include "store_fixture.h"

namespace qel::testing {
namespace {

using server::InsertBatch;
using server::StoredRow;

const DateTime kNoon = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
const DateTime kDay = DateTime::fromDate(2026, 12, 6);

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

InsertBatch batch(const std::string& store, std::vector<StoredRow> rows) {
    InsertBatch b;
    b.store = store;
    b.station = "001";
    b.receivedAt = kNoon;
    b.rows = std::move(rows);
    return b;
}

InsertBatch giftVouchers(int first, int count) {
    InsertBatch b = batch("0002", {});
    for (int i = first; i < first + count; ++i) {
        b.rows.push_back({"VALEPRESENTE", text("0002/001/" + std::to_string(1000000 + i)),
                          text("voucher " + std::to_string(i))});
    }
    return b;
}

// Bytes this process has read through system calls so far.
std::int64_t bytesRead() {
    std::ifstream io("/proc/self/io");
    std::string name;
    std::int64_t value = 0;
    while (io >> name >> value) {
        if (name == "rchar:") return value;
    }
    return -1;
}

TEST(SqliteLayout, ALargeRowIsNotReadByTheKeySearchesOfOtherRows) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("qel_layout_" + std::to_string(::getpid()) + ".db");
    std::filesystem::remove(file);
    {
        auto store = server::openSqliteStore(file);
        store->putBatch(giftVouchers(0, 10000));
        // Another store's sale with a note of several MiB, more than the page
        // cache holds: were it a cell of the key's B-tree, every search
        // passing it would read it again.
        constexpr std::size_t kLarge = 6 << 20;
        Bytes large(kLarge, 'x');
        store->putBatch(batch("0001", {{"VENDA", text("0001/001/1"), large}}));
        const std::int64_t before = bytesRead();
        ASSERT_GE(before, 0) << "no /proc/self/io";
        store->putBatch(giftVouchers(10000, 1000));
        // The WAL may be checkpointed meanwhile (the large row once); the
        // searches of a thousand rows must not add a read of it each.
        EXPECT_LT(bytesRead() - before, static_cast<std::int64_t>(3 * kLarge));
        EXPECT_EQ(store->rowCount("VALEPRESENTE"), 11000);
        const Bytes key = text("0001/001/1");
        EXPECT_EQ(store->getContents({{"VENDA", key}})[0], large);
    }
    std::filesystem::remove(file);
    std::filesystem::remove(file.string() + "-wal");
    std::filesystem::remove(file.string() + "-shm");
}

// A store of the earlier layout: rows and sales keyed by the key itself.
class StoreLayoutTest : public StoreTest {
  protected:
    // Turns the store just created into one the earlier layout wrote, with
    // one row and one sale of key "k1".
    void makeEarlierLayout() {
        store_.reset();
        if (GetParam() == "postgres") {
            server::pg::Connection c(location_);
            c.exec(
                "DROP INDEX export_row_by_key_prefix; ALTER TABLE export_row ADD PRIMARY KEY "
                "(table_name, row_key); DROP INDEX sale_day_by_key; "
                "ALTER TABLE sale_day ADD PRIMARY KEY (row_key); "
                "DELETE FROM schema_version WHERE version > 1; "
                "INSERT INTO export_row VALUES ('VENDA', 'k1', '0001', '001', '\\x01', 46000); "
                "INSERT INTO sale_day VALUES ('k1', '0001', '001', 46362, 500)");
            return;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(location_.c_str(), &db), SQLITE_OK);
        const char* sql = R"sql(
            DROP TABLE export_row;
            CREATE TABLE export_row (table_name TEXT NOT NULL, row_key BLOB NOT NULL,
                store TEXT NOT NULL, station TEXT NOT NULL, content BLOB NOT NULL,
                received_at REAL NOT NULL, PRIMARY KEY (table_name, row_key)) WITHOUT ROWID;
            DROP TABLE sale_day;
            CREATE TABLE sale_day (row_key BLOB PRIMARY KEY, store TEXT NOT NULL,
                station TEXT NOT NULL, day REAL NOT NULL, amount INTEGER NOT NULL) WITHOUT ROWID;
            CREATE INDEX sale_day_by_station ON sale_day (store, station, day);
            INSERT INTO export_row VALUES ('VENDA', CAST('k1' AS BLOB), '0001', '001', X'01', 46000);
            INSERT INTO sale_day VALUES (CAST('k1' AS BLOB), '0001', '001', 46362, 500);
        )sql";
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
};

TEST_P(StoreLayoutTest, AStoreOfTheEarlierLayoutKeepsItsRowsAndSales) {
    ASSERT_EQ(kDay.value(), 46362);
    makeEarlierLayout();
    store_ = open();
    open();  // a second opening finds the layout done
    const Bytes k1 = text("k1");
    EXPECT_EQ(store_->getContents({{"VENDA", k1}})[0], Bytes{1});
    // The same row and sale sent again are the stored ones, not new ones.
    InsertBatch again = batch("0001", {{"VENDA", k1, Bytes{1}}});
    again.sales = {{k1, "0001", "001", kDay, 500}};
    again.summaries = {{"0001", "001", kDay, 1, 500}};
    EXPECT_EQ(store_->putBatch(again), 0);
    EXPECT_EQ(store_->rowCount(), 1);
    const auto fleet = store_->fleet(kNoon, kDay);
    ASSERT_EQ(fleet.size(), 1u);
    EXPECT_EQ(fleet[0].daysChecked, 1);
    EXPECT_TRUE(fleet[0].shortDays.empty());
    // And keys past the earlier index's limit are stored now.
    const Bytes longKey(4000, 'k');
    EXPECT_EQ(store_->putBatch(batch("0001", {{"OBSITEMVENDA", longKey, Bytes{2}}})), 1);
    EXPECT_EQ(store_->getContents({{"OBSITEMVENDA", longKey}})[0], Bytes{2});
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreLayoutTest, ::testing::Values("sqlite", "postgres"),
                         engineName);

}  // namespace
}  // namespace qel::testing
