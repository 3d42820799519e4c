// One suite for every central store engine: SQLite and PostgreSQL keep the
// same rows, answer the same contents and report the same fleet.

#include <algorithm>
#include <atomic>
#include <thread>

#include "fleet_page.h"
#include "store_fixture.h"

namespace qel::testing {
namespace {

using server::DaySummary;
using server::InsertBatch;
using server::RowRef;
using server::SaleFact;
using server::StoredRow;

const DateTime kNoon = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
const DateTime kDay = DateTime::fromDate(2026, 12, 6);

Bytes bytes(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
    return b;
}

Bytes key(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

InsertBatch batch(const std::string& station, std::vector<StoredRow> rows, DateTime at = kNoon) {
    InsertBatch b;
    b.store = "0001";
    b.station = station;
    b.receivedAt = at;
    b.rows = std::move(rows);
    return b;
}

std::vector<std::optional<Bytes>> contents(server::CentralStore& s,
                                           const std::vector<StoredRow>& rows) {
    std::vector<RowRef> refs;
    for (const StoredRow& r : rows) refs.push_back({r.table, r.key});
    return s.getContents(refs);
}

TEST_P(StoreTest, UpsertStoresEachKeyOnceAndTheLastContentWins) {
    // Keys and contents with NUL and high bytes, an empty content, and two
    // tables sharing one key: every byte must come back as it went in.
    const Bytes binaryKey = bytes({0x00, 0xFF, 0x5C, 0x78, 0x00});
    std::vector<StoredRow> rows = {{"VENDA", binaryKey, bytes({1, 0, 2})},
                                   {"ITEMVENDA", binaryKey, Bytes{}},
                                   {"VENDA", key("k2"), bytes({0x80, 0x5C, 0x0A})}};
    store_->putBatch(batch("001", rows));
    store_->putBatch(batch("001", rows));  // a retry: nothing new
    EXPECT_EQ(store_->rowCount(), 3);
    EXPECT_EQ(store_->rowCount("VENDA"), 2);
    auto got = contents(*store_, rows);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_TRUE(got[i]) << i;
        EXPECT_EQ(*got[i], rows[i].content) << i;
    }

    // A changed row replaces the stored one; within one batch the later twin wins.
    store_->putBatch(
        batch("001", {{"VENDA", key("k2"), bytes({9})}, {"VENDA", key("k2"), bytes({9, 9})}}));
    EXPECT_EQ(store_->rowCount(), 3);
    EXPECT_EQ(*contents(*store_, {{"VENDA", key("k2"), {}}})[0], bytes({9, 9}));

    // The answer follows the order asked, with gaps and repeats.
    const Bytes none = key("none"), k2 = key("k2");
    std::vector<RowRef> refs = {{"VENDA", none}, {"VENDA", k2}, {"ITEMVENDA", k2}, {"VENDA", k2}};
    auto answer = store_->getContents(refs);
    ASSERT_EQ(answer.size(), 4u);
    EXPECT_FALSE(answer[0]);
    EXPECT_EQ(answer[1], bytes({9, 9}));
    EXPECT_FALSE(answer[2]);
    EXPECT_EQ(answer[3], bytes({9, 9}));
    EXPECT_TRUE(store_->getContents({}).empty());

    // A second opening (another server, or a restart) sees the same rows and
    // finds its schema in place.
    auto second = open();
    EXPECT_EQ(second->rowCount(), 3);
    EXPECT_EQ(*contents(*second, {rows[0]})[0], rows[0].content);
}

TEST_P(StoreTest, StationRecordsKeepTheirOwnStation) {
    EXPECT_FALSE(store_->lastCleanup("0001", "001"));
    store_->recordCleanup("0001", "001", kNoon);
    store_->recordCleanup("0001", "001", kNoon.addDays(-3));  // an older report does not win
    store_->recordCleanup("0001", "002", kNoon.addDays(1));
    EXPECT_EQ(store_->lastCleanup("0001", "001"), kNoon);

    store_->recordRequest("AJUSTE", "0001", "001", kDay, "06/12/2026", kNoon);
    store_->recordRequest("AJUSTE", "0001", "001", kDay, "06/12/2026", kNoon.addMinutes(5));
    store_->recordRequest("AJUSTE", "0001", "001", kDay, "05/12/2026", kNoon);
    store_->recordRequest("PONTUACAO", "0001", "001", kDay, "", kNoon);
    EXPECT_EQ(store_->requestCount("AJUSTE"), 2);
    EXPECT_EQ(store_->requestCount("PONTUACAO"), 1);

    // Date-times keep every millisecond; a null report replaces a value.
    const DateTime precise = DateTime::fromDateTime(2026, 12, 6, 23, 59, 59, 997);
    store_->recordDate("0001", "001", {"DTULTATUEXT", precise}, kNoon);
    store_->recordDate("0001", "002", {"DTULTATUEXT", std::nullopt}, kNoon);
    EXPECT_EQ(store_->reportedDate("0001", "001", "DTULTATUEXT"), precise);
    EXPECT_FALSE(store_->reportedDate("0001", "002", "DTULTATUEXT"));
    store_->recordDate("0001", "001", {"DTULTATUEXT", std::nullopt}, kNoon);
    EXPECT_FALSE(store_->reportedDate("0001", "001", "DTULTATUEXT"));

    // Dates travelling inside a batch land the same way.
    InsertBatch b = batch("003", {});
    b.dates = {{"DTULTATUMCLI", kNoon}, {"DTULTATUEXT", std::nullopt}};
    store_->putBatch(b);
    EXPECT_EQ(store_->reportedDate("0001", "003", "DTULTATUMCLI"), kNoon);
}

SaleFact sale(const std::string& station, const std::string& seq, DateTime day,
              std::int64_t amount) {
    return {key(station + "/" + seq), "0001", station, day, amount};
}

TEST_P(StoreTest, FleetShowsActivityCountsAndDayCompleteness) {
    const DateTime yesterday = kDay.addDays(-1);
    // Station 001: three sales of today's day sent (one twice), its summary
    // says three: complete. Yesterday it reported four sales and sent two.
    InsertBatch b = batch("001", {{"VENDA", key("001/1"), bytes({1})},
                                  {"VENDA", key("001/2"), bytes({2})},
                                  {"ITEMVENDA", key("001/1/1"), bytes({3})}});
    b.sales = {sale("001", "1", kDay, 12300), sale("001", "2", kDay, 4500),
               sale("001", "2", kDay, 4500), sale("001", "8", yesterday, 10000),
               sale("001", "9", yesterday, 990000)};
    // A day summarised twice in one batch: the later summary counts.
    b.summaries = {{"0001", "001", kDay, 99, 1},
                   {"0001", "001", kDay, 3, 12300 + 4500 + 7000},
                   {"0001", "001", yesterday, 4, 10000 + 990000 + 2 * 500}};
    b.refusedByTable = {{"VENDA", 1}, {"MOVCAIXA", 2}};
    store_->putBatch(b);
    InsertBatch more = batch("001", {{"VENDA", key("001/3"), bytes({4})}}, kNoon.addMinutes(10));
    more.sales = {sale("001", "3", kDay, 7000)};
    store_->putBatch(more);
    // Yesterday's counts do not show today; an old summary is outside the window.
    InsertBatch old = batch("001", {{"VENDA", key("001/0"), bytes({5})}}, kNoon.addDays(-1));
    old.summaries = {{"0001", "001", kDay.addDays(-40), 1, 100}};
    store_->putBatch(old);
    store_->recordCleanup("0001", "001", kNoon.addDays(-2));
    // Station 002 only called (a verification), station 010 of store 0002 nothing yet today.
    store_->touchStation("0001", "002", kNoon.addMinutes(20));
    store_->touchStation("0001", "002", kNoon.addMinutes(5));  // an older call does not win
    store_->touchStation("0002", "010", kNoon.addDays(-5));

    const auto fleet = store_->fleet(kNoon, kDay.addDays(-30));
    ASSERT_EQ(fleet.size(), 3u);
    const auto& s1 = fleet[0];
    EXPECT_EQ(s1.station, "001");
    EXPECT_EQ(s1.lastContact, kNoon.addMinutes(10));
    EXPECT_EQ(s1.lastTransfer, kNoon.addMinutes(10));
    EXPECT_EQ(s1.lastCleanup, kNoon.addDays(-2));
    using Count = std::pair<std::string, std::int64_t>;
    EXPECT_EQ(s1.receivedToday, (std::vector<Count>{{"ITEMVENDA", 1}, {"VENDA", 3}}));
    EXPECT_EQ(s1.refusedToday, 3);
    EXPECT_EQ(s1.daysChecked, 2);
    ASSERT_EQ(s1.shortDays.size(), 1u);
    EXPECT_EQ(s1.shortDays[0].day, yesterday);
    EXPECT_EQ(s1.shortDays[0].reportedSales - s1.shortDays[0].heldSales, 2);
    EXPECT_EQ(s1.shortDays[0].reportedAmount - s1.shortDays[0].heldAmount, 1000);

    EXPECT_EQ(fleet[1].station, "002");
    EXPECT_EQ(fleet[1].lastContact, kNoon.addMinutes(20));
    EXPECT_FALSE(fleet[1].lastTransfer);
    EXPECT_TRUE(fleet[1].receivedToday.empty());
    EXPECT_EQ(fleet[2].store, "0002");

    // The missing sales arrive: the day becomes complete. A re-sent sale with
    // a corrected total replaces its amount instead of adding to it.
    InsertBatch late = batch("001", {}, kNoon.addMinutes(30));
    late.sales = {sale("001", "10", yesterday, 500), sale("001", "11", yesterday, 500)};
    store_->putBatch(late);
    EXPECT_TRUE(store_->fleet(kNoon, kDay.addDays(-30))[0].shortDays.empty());
    InsertBatch fix = batch("001", {}, kNoon.addMinutes(40));
    fix.sales = {sale("001", "11", yesterday, 400)};
    store_->putBatch(fix);
    const auto after = store_->fleet(kNoon, kDay.addDays(-30));
    ASSERT_EQ(after[0].shortDays.size(), 1u);
    EXPECT_EQ(after[0].shortDays[0].heldSales, 4);
    EXPECT_EQ(after[0].shortDays[0].reportedAmount - after[0].shortDays[0].heldAmount, 100);
}

TEST_P(StoreTest, ConcurrentOverlappingBatchesStoreEveryRowOnce) {
    // Eight writers (two stores over one database, as two servers) send
    // overlapping batches in opposite orders; the engine must neither lose,
    // duplicate nor fail a row, nor count a sale twice.
    auto second = open();
    constexpr int kWriters = 8, kRounds = 15, kKeys = 60;
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            server::CentralStore& s = w % 2 ? *second : *store_;
            for (int round = 0; round < kRounds; ++round) {
                InsertBatch b = batch("00" + std::to_string(w % 3), {});
                for (int k = 0; k < kKeys; ++k) {
                    const int n = (w % 2) ? kKeys - 1 - k : k;
                    b.rows.push_back({"VENDA", key("s/" + std::to_string(n)), bytes({n % 7})});
                    b.sales.push_back(sale("001", std::to_string(n), kDay, 100));
                }
                b.summaries = {{"0001", "001", kDay, kKeys, kKeys * 100}};
                try {
                    s.putBatch(b);
                } catch (const std::exception& e) {
                    ++failures;
                    ADD_FAILURE() << e.what();
                }
            }
        });
    }
    for (auto& t : writers) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(store_->rowCount(), kKeys);
    const auto fleet = store_->fleet(kNoon, kDay);
    auto s1 = std::find_if(fleet.begin(), fleet.end(),
                           [](const server::StationStatus& s) { return s.station == "001"; });
    ASSERT_NE(s1, fleet.end());
    EXPECT_EQ(s1->daysChecked, 1);
    EXPECT_TRUE(s1->shortDays.empty());
    // Each key was stored once, by whichever writer came first: the day's
    // counts of all stations add up to the keys, not to the rows sent.
    std::int64_t received = 0;
    for (const auto& s : fleet) {
        for (const auto& [table, n] : s.receivedToday) received += n;
    }
    EXPECT_EQ(received, kKeys);
}

TEST_P(StoreTest, ARetriedTransferCountsOnlyWhatItStoredOrChanged) {
    // The first commit landed but its answer was lost: the station sends the
    // same transfer again, which must not count its rows a second time.
    InsertBatch b = batch("001", {{"VENDA", key("1"), bytes({1})},
                                  {"VENDA", key("2"), bytes({2})},
                                  {"ITEMVENDA", key("1/1"), bytes({3})}});
    b.refusedByTable = {{"MOVCAIXA", 1}};
    EXPECT_EQ(store_->putBatch(b), 3);
    EXPECT_EQ(store_->putBatch(b), 0);
    // Then one row changed and one new: two count; the rest were stored already.
    b.rows[1].content = bytes({2, 2});
    b.rows.push_back({"VENDA", key("3"), bytes({4})});
    EXPECT_EQ(store_->putBatch(b), 2);
    EXPECT_EQ(open()->putBatch(b), 0);  // the retry reaching a second server

    const auto fleet = store_->fleet(kNoon, kDay);
    ASSERT_EQ(fleet.size(), 1u);
    using Count = std::pair<std::string, std::int64_t>;
    EXPECT_EQ(fleet[0].receivedToday, (std::vector<Count>{{"ITEMVENDA", 1}, {"VENDA", 4}}));
    EXPECT_EQ(fleet[0].refusedToday, 4);  // each call refused its row again
    EXPECT_EQ(store_->rowCount(), 4);
}

// Bytes that do not compress, as a key holding a whole row's content may be.
Bytes noise(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<std::uint8_t>(seed >> 16);
    }
    return b;
}

TEST_P(StoreTest, KeysOfAnyLengthAreStoredAndFoundByTheWholeKey) {
    // Keys past an index entry's limit, keys sharing a long prefix, and a
    // sale keyed the same way: every engine stores what another does.
    const Bytes longKey = noise(3000, 1), longer = noise(70000, 2);
    Bytes sibling = longKey;
    sibling.back() ^= 1;
    InsertBatch b = batch("001", {{"OBSITEMVENDA", longKey, bytes({1})},
                                  {"OBSITEMVENDA", sibling, bytes({2})},
                                  {"OBSITEMVENDA", longer, bytes({3})},
                                  {"VENDA", longKey, bytes({4})}});
    b.sales = {{longKey, "0001", "001", kDay, 500}, {longer, "0001", "001", kDay, 700}};
    b.summaries = {{"0001", "001", kDay, 2, 1200}};
    EXPECT_EQ(store_->putBatch(b), 4);
    EXPECT_EQ(store_->putBatch(b), 0);  // a retry finds each of them stored
    b.rows[1].content = bytes({2, 2});
    EXPECT_EQ(store_->putBatch(b), 1);
    EXPECT_EQ(contents(*store_, b.rows), (std::vector<std::optional<Bytes>>{
                                             bytes({1}), bytes({2, 2}), bytes({3}), bytes({4})}));
    // Only the whole key finds a row: a prefix or a one-byte change does not.
    const Bytes prefix(longKey.begin(), longKey.end() - 1);
    Bytes other = longer;
    other[0] ^= 1;
    EXPECT_EQ(contents(*store_, {{"OBSITEMVENDA", prefix, {}},
                                 {"OBSITEMVENDA", other, {}},
                                 {"ITEMVENDA", longKey, {}}}),
              (std::vector<std::optional<Bytes>>(3)));
    EXPECT_EQ(store_->rowCount(), 4);
    const auto fleet = store_->fleet(kNoon, kDay);
    ASSERT_EQ(fleet.size(), 1u);
    EXPECT_EQ(fleet[0].daysChecked, 1);
    EXPECT_TRUE(fleet[0].shortDays.empty());
}

TEST_P(StoreTest, HeldAmountsSumPast64BitsExactly) {
    // Two sales of 900,000,000,000,000.00 (in ten-thousandths each just
    // inside 64 bits) and one small refund on a day; another station beside.
    constexpr std::int64_t kHuge = 9000000000000000000;
    InsertBatch b = batch("001", {});
    b.sales = {sale("001", "1", kDay, kHuge), sale("001", "2", kDay, kHuge),
               sale("001", "3", kDay, -5)};
    b.summaries = {{"0001", "001", kDay, 3, kHuge}};
    store_->putBatch(b);
    InsertBatch other = batch("002", {});
    other.sales = {sale("002", "1", kDay, 100)};
    other.summaries = {{"0001", "002", kDay, 2, 200}};
    store_->putBatch(other);

    const auto fleet = store_->fleet(kNoon, kDay);
    ASSERT_EQ(fleet.size(), 2u);
    ASSERT_EQ(fleet[0].shortDays.size(), 1u);
    EXPECT_EQ(fleet[0].shortDays[0].heldSales, 3);
    EXPECT_EQ(server::integerText(fleet[0].shortDays[0].heldAmount), "17999999999999999995");
    EXPECT_TRUE(fleet[0].shortDays[0].isSurplus());
    ASSERT_EQ(fleet[1].shortDays.size(), 1u);
    EXPECT_EQ(static_cast<std::int64_t>(fleet[1].shortDays[0].salesShort()), 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, ::testing::Values("sqlite", "postgres"), engineName);

}  // namespace
}  // namespace qel::testing
