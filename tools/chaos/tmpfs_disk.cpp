#include "tmpfs_disk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"

namespace qel::chaos {
namespace {

constexpr const char* kFiller = "disk-filler";

std::string options(std::uint64_t bytes) {
    return "size=" + std::to_string(bytes) + ",mode=0755";
}

std::uint64_t usedBytes(const std::filesystem::path& folder) {
    struct statvfs s {};
    if (statvfs(folder.c_str(), &s) != 0)
        throw IoError("statvfs " + folder.string() + ": " + std::strerror(errno));
    return static_cast<std::uint64_t>(s.f_blocks - s.f_bfree) * s.f_frsize;
}

}  // namespace

TmpfsDisk::TmpfsDisk(std::filesystem::path folder, std::uint64_t bytes)
    : folder_(std::move(folder)), bytes_(bytes) {
    std::filesystem::create_directories(folder_);
    if (mount("tmpfs", folder_.c_str(), "tmpfs", 0, options(bytes_).c_str()) != 0) {
        throw IoError("cannot mount a tmpfs on " + folder_.string() +
                      " (the disk faults need root): " + std::strerror(errno));
    }
    mounted_ = true;
}

TmpfsDisk::~TmpfsDisk() {
    if (!mounted_) return;
    std::error_code ec;
    std::filesystem::remove(folder_ / kFiller, ec);
    const auto kept = folder_.parent_path() / (folder_.filename().string() + ".kept");
    std::filesystem::remove_all(kept, ec);
    std::filesystem::copy(folder_, kept, std::filesystem::copy_options::recursive, ec);
    // Detached: a process that still holds a file there keeps it until it
    // ends, and the folder is free at once.
    if (umount2(folder_.c_str(), MNT_DETACH) != 0) return;
    if (!ec) {
        std::filesystem::remove_all(folder_, ec);
        std::filesystem::rename(kept, folder_, ec);
    }
}

std::uint64_t TmpfsDisk::freeBytes() const {
    struct statvfs s {};
    if (statvfs(folder_.c_str(), &s) != 0) return 0;
    return static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize;
}

void TmpfsDisk::resize(std::uint64_t bytes) {
    if (mount("tmpfs", folder_.c_str(), "tmpfs", MS_REMOUNT, options(bytes).c_str()) != 0) {
        throw IoError("cannot resize the tmpfs on " + folder_.string() + ": " +
                      std::strerror(errno));
    }
}

void TmpfsDisk::fill() {
    // The programs go on writing: a size under what is used by then is
    // refused, and a larger margin is tried.
    for (std::uint64_t margin = 64 * 1024; margin <= 64 * 1024 * 1024; margin *= 4) {
        try {
            resize(std::min(bytes_, usedBytes(folder_) + margin));
            break;
        } catch (const IoError&) {
            if (margin * 4 > 64 * 1024 * 1024) throw;
        }
    }
    const int fd = open((folder_ / kFiller).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;  // not even a file fits: full already
    const std::vector<char> block(64 * 1024, 0);
    for (std::size_t size = block.size(); size > 0;) {
        if (write(fd, block.data(), size) < 0) {
            if (errno != ENOSPC) break;
            size /= 2;  // the last pages
        }
    }
    close(fd);
}

void TmpfsDisk::free() {
    std::filesystem::remove(folder_ / kFiller);
    resize(bytes_);
}

}  // namespace qel::chaos
