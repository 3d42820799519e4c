// How the PostgreSQL store takes a transfer in: a station's later transfers
// repeat the rows sent at every run, and must still go in by the fast COPY
// with nothing written twice, while storing and counting exactly as the
// upsert would.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "central_store.h"
#include "postgres_cluster.h"
#include "postgres_connection.h"

namespace qel::testing {
namespace {

using server::InsertBatch;
using server::StoredRow;

const DateTime kNoon = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
const DateTime kDay = DateTime::fromDate(2026, 12, 6);

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

class PostgresIngest : public ::testing::Test {
  protected:
    void SetUp() override {
        PostgresCluster* cluster = PostgresCluster::shared();
        if (!cluster) GTEST_SKIP() << "PostgreSQL: " << PostgresCluster::unavailableReason();
        location_ = cluster->createDatabase();
        store_ = server::openCentralStore(location_);
        watch_ = std::make_unique<server::pg::Connection>(location_);
        // Every row PostgreSQL is asked to insert into export_row, whether its
        // transaction commits or not: a sequence is not rolled back.
        watch_->exec("CREATE SEQUENCE insert_attempts");
        watch_->exec(
            "CREATE FUNCTION count_attempt() RETURNS trigger LANGUAGE plpgsql AS "
            "$$ BEGIN PERFORM nextval('insert_attempts'); RETURN NEW; END $$");
        watch_->exec(
            "CREATE TRIGGER count_attempt BEFORE INSERT ON export_row FOR EACH ROW "
            "EXECUTE FUNCTION count_attempt()");
    }

    std::int64_t attempts() {
        return watch_
            ->exec("SELECT CASE WHEN is_called THEN last_value ELSE 0 END FROM insert_attempts")
            .int64(0, 0);
    }

    std::vector<std::pair<std::string, std::int64_t>> receivedToday() {
        const auto fleet = store_->fleet(kNoon, kDay);
        if (fleet.size() != 1) return {};
        return fleet[0].receivedToday;
    }

    std::string location_;
    std::unique_ptr<server::CentralStore> store_;
    std::unique_ptr<server::pg::Connection> watch_;
};

// A transfer of `sales` new sales plus the rows a run sends whatever their
// state: an open order item, the NFC-e counter, a blocked product, the day's
// totals (whose content grows with the day).
InsertBatch transfer(int firstSale, int sales, const std::string& dayTotal) {
    InsertBatch b;
    b.store = "0001";
    b.station = "001";
    b.receivedAt = kNoon;
    for (int i = firstSale; i < firstSale + sales; ++i) {
        b.rows.push_back({"VENDA", text("0001/001/" + std::to_string(i)), text("sale")});
    }
    b.rows.push_back({"ITCOMANDAVEN", text("order/1"), text("open")});
    b.rows.push_back({"NOVOCODNFCE", text("counter"), text("41")});
    b.rows.push_back({"PRODBLOQVNDTAA", text("product/7"), text("blocked")});
    b.rows.push_back({"RELVENDAS", text("0001/001/day"), text(dayTotal)});
    b.refusedByTable = {{"MOVCAIXA", 1}};
    return b;
}

TEST_F(PostgresIngest, ALaterTransferRepeatingTheRowsOfEveryRunInsertsEachRowOnce) {
    EXPECT_EQ(store_->putBatch(transfer(1, 50, "total 50")), 54);
    EXPECT_EQ(attempts(), 54);
    // The second transfer: 50 new sales, three rows unchanged, the day's
    // totals changed. Each row is offered to PostgreSQL once: no COPY that
    // fails on a stored key and is done again.
    EXPECT_EQ(store_->putBatch(transfer(51, 50, "total 100")), 51);
    EXPECT_EQ(attempts(), 54 + 54);
    using Count = std::pair<std::string, std::int64_t>;
    EXPECT_EQ(receivedToday(), (std::vector<Count>{{"ITCOMANDAVEN", 1},
                                                   {"NOVOCODNFCE", 1},
                                                   {"PRODBLOQVNDTAA", 1},
                                                   {"RELVENDAS", 2},
                                                   {"VENDA", 100}}));
    const auto fleet = store_->fleet(kNoon, kDay);
    ASSERT_EQ(fleet.size(), 1u);
    EXPECT_EQ(fleet[0].refusedToday, 2);  // each transfer's own refusal, once
    EXPECT_EQ(store_->rowCount(), 104);
    EXPECT_EQ(store_->getContents({{"RELVENDAS", text("0001/001/day")}})[0], text("total 100"));
}

TEST_F(PostgresIngest, ARetriedTransferOrOneOfOnlyRepeatedRowsCountsWhatItChanged) {
    InsertBatch first = transfer(1, 3, "total 3");
    EXPECT_EQ(store_->putBatch(first), 7);
    // The same transfer again (its answer was lost): the COPY meets a stored
    // sale, and the whole transfer goes through the upsert, counting nothing.
    EXPECT_EQ(store_->putBatch(first), 0);
    // A run with no new sale: only the rows of every run, one of them changed.
    InsertBatch idle = transfer(4, 0, "total 3, again");
    EXPECT_EQ(store_->putBatch(idle), 1);
    // A transfer with no rows at all still counts its refusal.
    InsertBatch none = transfer(4, 0, "");
    none.rows.clear();
    EXPECT_EQ(store_->putBatch(none), 0);
    using Count = std::pair<std::string, std::int64_t>;
    EXPECT_EQ(receivedToday(), (std::vector<Count>{{"ITCOMANDAVEN", 1},
                                                   {"NOVOCODNFCE", 1},
                                                   {"PRODBLOQVNDTAA", 1},
                                                   {"RELVENDAS", 2},
                                                   {"VENDA", 3}}));
    const auto fleet = store_->fleet(kNoon, kDay);
    ASSERT_EQ(fleet.size(), 1u);
    EXPECT_EQ(fleet[0].refusedToday, 4);
    EXPECT_EQ(store_->rowCount(), 7);
}

TEST_F(PostgresIngest, TwoServersStoringTheSameRepeatedRowsAtOnceLoseNothing) {
    // Two stores over one database take transfers of two stations that share
    // the rows sent at every run (same keys): neither fails or deadlocks for
    // good, and each key is stored once with the last content sent.
    auto second = server::openCentralStore(location_);
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            server::CentralStore& s = w == 0 ? *store_ : *second;
            for (int round = 0; round < 10; ++round) {
                InsertBatch b = transfer(1000 * w + 10 * round, 10, "same");
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
    EXPECT_EQ(store_->rowCount(), 2 * 10 * 10 + 4);
}

}  // namespace
}  // namespace qel::testing
