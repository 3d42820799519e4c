#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "central_store.h"
#include "postgres_cluster.h"

namespace qel::testing {

// A fresh central store of the engine the test is parameterised with:
// "sqlite" (a file in a temporary folder) or "postgres" (a new database in
// the cluster the tests start). Skips with the reason when PostgreSQL is not
// available.
class StoreTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "postgres") {
            PostgresCluster* cluster = PostgresCluster::shared();
            if (!cluster) {
                GTEST_SKIP() << "PostgreSQL tests skipped: "
                             << PostgresCluster::unavailableReason();
            }
            location_ = cluster->createDatabase();
        } else {
            static int made = 0;
            folder_ = std::filesystem::temp_directory_path() /
                      ("qel_store_" + std::to_string(::getpid()) + "_" + std::to_string(++made));
            std::filesystem::remove_all(folder_);
            std::filesystem::create_directories(folder_);
            location_ = (folder_ / "central.db").string();
        }
        store_ = open();
    }

    void TearDown() override {
        store_.reset();
        if (!folder_.empty()) std::filesystem::remove_all(folder_);
    }

    // Another store over the same database, as a second server would open it.
    std::unique_ptr<server::CentralStore> open() { return server::openCentralStore(location_); }

    std::filesystem::path folder_;
    std::string location_;
    std::unique_ptr<server::CentralStore> store_;
};

inline std::string engineName(const ::testing::TestParamInfo<std::string>& info) {
    return info.param;
}

}  // namespace qel::testing
