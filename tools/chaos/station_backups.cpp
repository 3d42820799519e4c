#include "station_backups.h"

#include <algorithm>

#include "core/error.h"
#include "sqlite_file.h"

namespace qel::chaos {

void copyDatabase(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::filesystem::create_directories(to.parent_path());
    SqliteFile db(from, true);
    std::string target = to.string();
    std::string quoted;
    for (const char c : target) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    db.execute("VACUUM INTO '" + quoted + "'");
}

void restoreDatabase(const std::filesystem::path& database, const std::filesystem::path& backup) {
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        std::filesystem::remove(database.string() + suffix);
    }
    std::filesystem::remove(database);
    std::filesystem::copy_file(backup, database);
}

StationBackups::StationBackups(std::vector<StationFolder> stations, std::filesystem::path folder,
                               std::chrono::seconds every, std::size_t keep)
    : stations_(std::move(stations)),
      folder_(std::move(folder)),
      keep_(keep),
      taken_(stations_.size()) {
    std::filesystem::create_directories(folder_);
    if (every.count() <= 0) return;
    thread_ = std::thread([this, every] {
        auto due = Steady::now();
        while (!stop_) {
            if (Steady::now() >= due) {
                takeAll();
                due += every;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
}

StationBackups::~StationBackups() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void StationBackups::takeAll() {
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        const auto file = folder_ / (stations_[i].name + "-" + std::to_string(++next_) + ".db");
        try {
            copyDatabase(stations_[i].database, file);
        } catch (const std::exception&) {
            // The station is being restored, or its disk or lock is held by
            // a fault: this round has no backup of it.
            std::error_code ec;
            std::filesystem::remove(file, ec);
            continue;
        }
        std::lock_guard lock(mutex_);
        taken_[i].push_back({Steady::now(), file});
        while (taken_[i].size() > keep_) {
            std::error_code ec;
            std::filesystem::remove(taken_[i].front().file, ec);
            taken_[i].pop_front();
        }
    }
}

std::optional<std::filesystem::path> StationBackups::aged(std::size_t index,
                                                          std::chrono::seconds age) const {
    std::lock_guard lock(mutex_);
    const auto now = Steady::now();
    std::optional<std::filesystem::path> best;
    auto bestGap = Steady::duration::max();
    for (const Taken& t : taken_.at(index)) {
        const auto gap = now - t.at > age ? (now - t.at) - age : age - (now - t.at);
        if (gap < bestGap) bestGap = gap, best = t.file;
    }
    return best;
}

}  // namespace qel::chaos
