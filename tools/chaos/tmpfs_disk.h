#pragma once

#include <cstdint>
#include <filesystem>

namespace qel::chaos {

// A small disk of its own (tmpfs, mounted on a folder; needs root) that a
// fault fills and frees. Filling shrinks the disk to what it holds plus a
// little and fills that little with a file, so that a full disk costs no
// more memory than it holds. When it goes, its contents are copied to the
// folder's own disk and it is unmounted, so the run's folder keeps them.
class TmpfsDisk {
  public:
    // Mounts it on `folder` (created, and empty). Throws IoError.
    TmpfsDisk(std::filesystem::path folder, std::uint64_t bytes);
    ~TmpfsDisk();
    TmpfsDisk(const TmpfsDisk&) = delete;
    TmpfsDisk& operator=(const TmpfsDisk&) = delete;

    // Leaves no free byte: a write that needs one more fails with ENOSPC.
    void fill();
    // Gives the space back.
    void free();
    std::uint64_t freeBytes() const;
    const std::filesystem::path& folder() const { return folder_; }

  private:
    void resize(std::uint64_t bytes);

    std::filesystem::path folder_;
    std::uint64_t bytes_;
    bool mounted_ = false;
};

}  // namespace qel::chaos
