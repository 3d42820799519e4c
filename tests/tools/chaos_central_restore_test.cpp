// The chaos run's central restore done for real: copies of a central store
// taken while its server runs, the server stopped, the store replaced by an
// older copy (a SQLite file, or a PostgreSQL dump restored) and the server
// started again, the store as the restore found it kept for the checker.

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <fstream>

#include "../server/postgres_cluster.h"
#include "central_copies.h"
#include "central_rows.h"
#include "central_store.h"
#include "loopback/loopback.h"
#include "process.h"
#include "server_control.h"

namespace qel::chaos {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Keys of the VENDA rows a central store holds, in order.
std::vector<std::string> salesHeld(const std::string& location) {
    std::vector<std::string> keys;
    for (const CentralRow& row : openCentralRows(location)->table("VENDA"))
        keys.emplace_back(row.key.begin(), row.key.end());
    std::sort(keys.begin(), keys.end());
    return keys;
}

class ChaosCentralRestore : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("chaos-central-restore-" + std::to_string(::getpid()) + "-" + GetParam());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "central");
        if (GetParam() == "postgres") {
            auto* cluster = testing::PostgresCluster::shared();
            if (cluster == nullptr) GTEST_SKIP() << testing::PostgresCluster::unavailableReason();
            location_ = cluster->createDatabase();
            files_ = postgresCentralFiles(location_, cluster->binaries());
        } else {
            location_ = (dir_ / "central" / "central.db").string();
            files_ = sqliteCentralFiles(location_, dir_ / "replaced");
        }
        server::openCentralStore(location_);  // the schema, as the server makes it
        server_ = std::make_unique<ServerControl>(processes_, SERVER, location_, dir_, 0.25);
        server_->start();
        station_.folder = dir_ / "station-001";
        fs::create_directories(station_.folder / "Dados");
    }
    void TearDown() override {
        if (server_) server_->stop();
        fs::remove_all(dir_);
    }

    // One sale stored under `key`, as a transfer stores it.
    void sell(const std::string& key) {
        server::InsertBatch batch;
        batch.store = "0001";
        batch.station = "001";
        batch.rows.push_back({"VENDA", Bytes(key.begin(), key.end()), Bytes{0x90}});
        server::openCentralStore(location_)->putBatch(batch);
    }
    void noteReconciled() {
        std::ofstream(station_.folder / "Dados" / "Reconciliacao_0001_001.txt") << "08/12/2026\n";
    }

    fs::path dir_;
    std::string location_;
    std::unique_ptr<CentralStoreFiles> files_;
    Processes processes_;
    std::unique_ptr<ServerControl> server_;
    StationFolder station_;
};

TEST_P(ChaosCentralRestore, TheCopyNearestTheAgeReplacesTheStoreAndTheServerComesBack) {
    CentralBackups backups(*files_, dir_ / "copies", 0s);
    // None taken yet: nothing is restored and the server is left running.
    EXPECT_FALSE(backups.restore(60s, *server_, {station_}));
    EXPECT_TRUE(loopback::accepts(server_->port()));

    sell("sale-1");
    ASSERT_TRUE(backups.take());
    sell("sale-2");
    ASSERT_TRUE(backups.take());
    sell("sale-3");
    noteReconciled();

    // The oldest copy is nearest an age of a minute.
    const auto kept = backups.restore(60s, *server_, {station_});
    ASSERT_TRUE(kept);
    EXPECT_TRUE(loopback::accepts(server_->port()));
    EXPECT_EQ(salesHeld(location_), std::vector<std::string>{"sale-1"});
    EXPECT_EQ(salesHeld(*kept), (std::vector<std::string>{"sale-1", "sale-2", "sale-3"}));
    // The station reconciles at its next run, not the next day.
    EXPECT_TRUE(reconciliationRecords(station_).empty());

    // The second restore takes the newest copy (age 0) and keeps a store of its own.
    sell("sale-4");
    const auto second = backups.restore(0s, *server_, {station_});
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *kept);
    EXPECT_EQ(salesHeld(location_), (std::vector<std::string>{"sale-1", "sale-2"}));
    EXPECT_EQ(salesHeld(*second), (std::vector<std::string>{"sale-1", "sale-4"}));
    EXPECT_EQ(backups.replaced(), (std::vector<std::string>{*kept, *second}));
    EXPECT_TRUE(loopback::accepts(server_->port()));
}

TEST_P(ChaosCentralRestore, OnlyTheLastCopiesAreKept) {
    CentralBackups backups(*files_, dir_ / "copies", 0s, 2);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(backups.take());
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_ / "copies"))
        files += e.path().extension() == ".copy";
    EXPECT_EQ(files, 2u);
}

TEST(ChaosReconciliationRecord, CountsOnlyARecordOfTodayOnTheTrueClock) {
    StationFolder station;
    station.folder =
        fs::temp_directory_path() / ("chaos-reconciliation-record-" + std::to_string(::getpid()));
    fs::remove_all(station.folder);
    EXPECT_FALSE(reconciledToday(station));  // no folder yet
    fs::create_directories(station.folder / "Dados");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof today, "%d/%m/%Y", &local);
    const fs::path record = station.folder / "Dados" / "Reconciliacao_0001_001.txt";
    std::ofstream(record) << "01/01/2000\n";
    EXPECT_FALSE(reconciledToday(station));
    std::ofstream(record) << today << "\n";
    EXPECT_TRUE(reconciledToday(station));
    EXPECT_EQ(reconciliationRecords(station), std::vector<fs::path>{record});
    fs::remove_all(station.folder);
}

INSTANTIATE_TEST_SUITE_P(Stores, ChaosCentralRestore, ::testing::Values("sqlite", "postgres"));

}  // namespace
}  // namespace qel::chaos
