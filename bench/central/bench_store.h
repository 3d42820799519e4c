#pragma once

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "central_store.h"
#include "postgres_cluster.h"

namespace qel::bench {

// A fresh central store for one benchmark: a new database in the cluster the
// benchmarks start, or a SQLite file in the temporary folder that is removed
// again with the store. Empty when PostgreSQL was asked for and is missing.
class BenchStore {
  public:
    BenchStore(bool postgres, const std::string& name) {
        if (postgres) {
            auto* cluster = testing::PostgresCluster::shared();
            if (cluster) store_ = server::openPostgresStore(cluster->createDatabase(), 8);
            return;
        }
        file_ = std::filesystem::temp_directory_path() /
                ("qel_bench_" + std::to_string(::getpid()) + "_" + name + ".db");
        std::filesystem::remove(file_);
        store_ = server::openSqliteStore(file_);
    }
    ~BenchStore() {
        store_.reset();
        if (file_.empty()) return;
        std::error_code ignored;
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(file_.string() + suffix, ignored);
    }
    BenchStore(const BenchStore&) = delete;
    BenchStore& operator=(const BenchStore&) = delete;

    explicit operator bool() const { return store_ != nullptr; }
    server::CentralStore& operator*() const { return *store_; }
    server::CentralStore* operator->() const { return store_.get(); }

  private:
    std::filesystem::path file_;
    std::unique_ptr<server::CentralStore> store_;
};

}  // namespace qel::bench
