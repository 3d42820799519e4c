// The PostgreSQL store's connections: a transfer that fails part-way leaves
// nothing behind and its connection usable, and the pooled connections a
// database restart cut are replaced inside the call that finds them dead, so
// no station sees an error for it.

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>

#include "central_store.h"
#include "core/error.h"
#include "postgres_cluster.h"

namespace qel::testing {
namespace {

const DateTime kNoon = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);

server::InsertBatch transfer(int n) {
    server::InsertBatch b;
    b.store = "0001";
    b.station = "001";
    b.receivedAt = kNoon.addMinutes(n);
    const std::string k = "k" + std::to_string(n);
    b.rows = {{"VENDA", Bytes(k.begin(), k.end()), Bytes{static_cast<std::uint8_t>(n)}}};
    b.dates = {{"DTULTATUEXT", kNoon}};
    return b;
}

PostgresCluster* clusterOrNull() {
    return PostgresCluster::shared();
}

TEST(PostgresConnection, AFailedTransferStoresNothingAndTheConnectionServesTheNext) {
    PostgresCluster* cluster = clusterOrNull();
    if (!cluster) GTEST_SKIP() << "PostgreSQL: " << PostgresCluster::unavailableReason();
    auto store = server::openPostgresStore(cluster->createDatabase(), 1);
    // The rows go first; the day summary after them carries a NUL, which
    // PostgreSQL text refuses: the rows already sent must be undone.
    server::InsertBatch bad = transfer(1);
    bad.summaries = {{"0001",
                      std::string("00\0"
                                  "1",
                                  4),
                      kNoon.date(), 1, 100}};
    EXPECT_THROW(store->putBatch(bad), qel::DatabaseError);
    EXPECT_EQ(store->rowCount(), 0);
    EXPECT_FALSE(store->reportedDate("0001", "001", "DTULTATUEXT"));
    for (int n = 2; n <= 3; ++n) store->putBatch(transfer(n));  // the pipeline runs again, twice
    EXPECT_EQ(store->rowCount(), 2);
    EXPECT_EQ(store->fleet(kNoon, kNoon.date())[0].lastTransfer, kNoon.addMinutes(3));
}

TEST(PostgresConnection, CallsAfterARestartSucceedOnNewConnections) {
    PostgresCluster* cluster = clusterOrNull();
    if (!cluster) GTEST_SKIP() << "PostgreSQL: " << PostgresCluster::unavailableReason();
    constexpr int kConnections = 3;
    auto store = server::openPostgresStore(cluster->createDatabase(), kConnections);

    // Fill the pool: three calls at once hold three connections.
    std::barrier together(kConnections);
    std::vector<std::thread> callers;
    for (int i = 0; i < kConnections; ++i) {
        callers.emplace_back([&, i] {
            together.arrive_and_wait();
            store->putBatch(transfer(i));
        });
    }
    for (auto& t : callers) t.join();

    cluster->restart();

    // Every kind of call works at once, the first on a dead connection.
    store->putBatch(transfer(10));
    const std::string k = "k10";
    const auto got = store->getContents({{"VENDA", Bytes(k.begin(), k.end())}});
    ASSERT_TRUE(got[0]);
    EXPECT_EQ(*got[0], Bytes{10});
    store->touchStation("0001", "001", kNoon.addMinutes(20));
    EXPECT_EQ(store->reportedDate("0001", "001", "DTULTATUEXT"), kNoon);

    // The other idle connections were cut too: calls at once on every slot.
    std::atomic<int> failures{0};
    callers.clear();
    for (int i = 0; i < kConnections; ++i) {
        callers.emplace_back([&, i] {
            together.arrive_and_wait();
            try {
                store->putBatch(transfer(20 + i));
                store->fleet(kNoon, kNoon.date());
            } catch (const std::exception& e) {
                ++failures;
                ADD_FAILURE() << e.what();
            }
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(store->rowCount(), 7);
    const auto fleet = store->fleet(kNoon, kNoon.date());
    ASSERT_EQ(fleet.size(), 1u);
    EXPECT_EQ(fleet[0].lastContact, kNoon.addMinutes(22));
}

}  // namespace
}  // namespace qel::testing
