#pragma once

#include <chrono>
#include <filesystem>

namespace qel::chaos {

// Holds an exclusive write lock on a station database for `hold`, as a
// point-of-sale program stuck in a long transaction would: the agent's
// writes wait for their busy timeout and fail. Throws DatabaseError when the
// lock cannot be taken.
void holdExclusiveLock(const std::filesystem::path& database, std::chrono::milliseconds hold);

// Makes an agent's run-log folder unwritable even for root (which ignores
// permissions): the folder is moved aside and a file takes its name.
// restore() puts it back and keeps every line written meanwhile.
class UnwritableFolder {
  public:
    explicit UnwritableFolder(std::filesystem::path folder);
    ~UnwritableFolder();
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;

    void restore();

  private:
    std::filesystem::path folder_, aside_;
    bool restored_ = false;
};

}  // namespace qel::chaos
