#include "station_faults.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "core/error.h"
#include "sqlite_file.h"

namespace qel::chaos {

void holdExclusiveLock(const std::filesystem::path& database, std::chrono::milliseconds hold) {
    SqliteFile db(database, false, 120'000);
    db.execute("BEGIN EXCLUSIVE");
    std::this_thread::sleep_for(hold);
    db.execute("ROLLBACK");
}

UnwritableFolder::UnwritableFolder(std::filesystem::path folder)
    : folder_(std::move(folder)), aside_(folder_.string() + ".aside") {
    std::filesystem::create_directories(folder_);
    std::filesystem::rename(folder_, aside_);
    std::ofstream blocker(folder_);
    if (!blocker) throw IoError("cannot put a file in place of " + folder_.string());
}

UnwritableFolder::~UnwritableFolder() {
    try {
        restore();
    } catch (...) {
        // Reported by an explicit restore(); a destructor must not throw.
    }
}

void UnwritableFolder::restore() {
    if (restored_) return;
    restored_ = true;
    std::error_code ec;
    if (std::filesystem::is_regular_file(folder_, ec)) std::filesystem::remove(folder_);
    if (!std::filesystem::exists(folder_, ec)) {
        std::filesystem::rename(aside_, folder_);
        return;
    }
    // The agent made a new folder between the two steps: the lines it wrote
    // there follow the older ones of the same day.
    for (const auto& entry : std::filesystem::directory_iterator(aside_)) {
        const auto target = folder_ / entry.path().filename();
        std::stringstream older, newer;
        {
            std::ifstream a(entry.path(), std::ios::binary);
            older << a.rdbuf();
            std::ifstream b(target, std::ios::binary);
            if (b && b.peek() != std::ifstream::traits_type::eof()) newer << b.rdbuf();
        }
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out << older.str() << newer.str();
        if (!out) throw IoError("cannot restore the run log " + target.string());
        std::filesystem::remove(entry.path());
    }
    std::filesystem::remove(aside_);
}

}  // namespace qel::chaos
