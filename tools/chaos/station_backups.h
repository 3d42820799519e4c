#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "station_setup.h"

namespace qel::chaos {

// A consistent copy of a SQLite database (VACUUM INTO, which reads one
// snapshot while writers go on) at `to`, which must not exist. Throws.
void copyDatabase(const std::filesystem::path& from, const std::filesystem::path& to);

// Replaces a database whose programs are stopped with `backup`: the file
// and its write-ahead log go, the copy takes their place. Throws.
void restoreDatabase(const std::filesystem::path& database, const std::filesystem::path& backup);

// The backups a store takes of its station databases, one per station every
// `every`, the last `keep` of each kept; a restored-backup fault restores
// one of them. Taken on a thread of its own while the run goes on.
class StationBackups {
  public:
    using Steady = std::chrono::steady_clock;

    StationBackups(std::vector<StationFolder> stations, std::filesystem::path folder,
                   std::chrono::seconds every, std::size_t keep = 8);
    ~StationBackups();
    StationBackups(const StationBackups&) = delete;
    StationBackups& operator=(const StationBackups&) = delete;

    // Takes a backup of every station now (the thread does this every `every`).
    void takeAll();
    // The backup of station `index` whose age is nearest `age`, or nothing.
    std::optional<std::filesystem::path> aged(std::size_t index, std::chrono::seconds age) const;

  private:
    struct Taken {
        Steady::time_point at;
        std::filesystem::path file;
    };
    std::vector<StationFolder> stations_;
    std::filesystem::path folder_;
    std::size_t keep_;
    mutable std::mutex mutex_;
    std::vector<std::deque<Taken>> taken_;
    int next_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace qel::chaos
