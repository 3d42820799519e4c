#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "server_control.h"
#include "station_setup.h"

namespace qel::chaos {

// A central store as its operator copies it and puts a copy back after a
// crash: a SQLite file (copied with VACUUM INTO while the server runs;
// restored with the server stopped by replacing the file and its
// write-ahead log), or a PostgreSQL database (pg_dump while the server
// runs; restored by pg_restore into the database made anew).
class CentralStoreFiles {
  public:
    virtual ~CentralStoreFiles() = default;
    // A consistent copy of the store at `file` (which must not exist), taken
    // while its server runs. Throws.
    virtual void copyTo(const std::filesystem::path& file) = 0;
    // With the server stopped: keeps the store as it is as the `n`-th store
    // replaced, answers where (a location the checker opens), and puts the
    // copy `file` in its place. Throws.
    virtual std::string replaceWith(const std::filesystem::path& file, int n) = 0;
};

// The SQLite central store `database`; the replaced stores go to `keep`.
std::unique_ptr<CentralStoreFiles> sqliteCentralFiles(std::filesystem::path database,
                                                      std::filesystem::path keep);
// The PostgreSQL database at `uri` (postgresql://user@host:port/name), with
// the client programs (pg_dump, pg_restore, psql) in `binaries`; a replaced
// store is kept in the cluster under the database's name and "_replaced_N".
std::unique_ptr<CentralStoreFiles> postgresCentralFiles(std::string uri,
                                                        std::filesystem::path binaries);

// The copies a store takes of its central store, one every `every` (none
// when 0), the last `keep` kept, on a thread of its own while the run goes on.
class CentralBackups {
  public:
    using Steady = std::chrono::steady_clock;

    CentralBackups(CentralStoreFiles& store, std::filesystem::path folder,
                   std::chrono::seconds every, std::size_t keep = 8);
    ~CentralBackups();
    CentralBackups(const CentralBackups&) = delete;
    CentralBackups& operator=(const CentralBackups&) = delete;

    // Takes a copy now; false when the store could not be copied.
    bool take();

    // The operator's restore: the copy whose age is nearest `age` replaces
    // the store, its server stopped for it and started again; each station's
    // record of the day's reconciliation is removed first, so that its agent
    // reconciles after its next export run rather than the next day. Answers
    // where the replaced store is kept, or nothing when no copy was taken
    // yet. Throws when the store cannot be restored or the server not started.
    std::optional<std::string> restore(std::chrono::seconds age, ServerControl& server,
                                       const std::vector<StationFolder>& stations);

    // The stores the restores replaced, in order.
    std::vector<std::string> replaced() const;

  private:
    struct Taken {
        Steady::time_point at;
        std::filesystem::path file;
    };
    CentralStoreFiles& store_;
    std::filesystem::path folder_;
    std::size_t keep_;
    std::mutex busy_;  // a copy taken, or the store replaced
    mutable std::mutex mutex_;
    std::deque<Taken> taken_;
    std::vector<std::string> replaced_;
    int next_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The files in which each station's agent notes the day it last reconciled
// (Dados/Reconciliacao_<store>_<station>.txt in its folder).
std::vector<std::filesystem::path> reconciliationRecords(const StationFolder& station);

// Whether the station's agent has recorded a reconciliation on today's date
// of the true clock (its own clock may be stepped meanwhile).
bool reconciledToday(const StationFolder& station);

}  // namespace qel::chaos
