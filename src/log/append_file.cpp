#include "log/append_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include "core/error.h"

namespace qel::log {
namespace {

[[noreturn]] void raiseIo(const std::filesystem::path& path, int error) {
    throw IoError(std::string(std::strerror(error)) + ": " + path.string());
}

void createFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) throw IoError(ec.message() + ": " + folder.string());
}

#ifdef _WIN32
std::FILE* openFile(const std::filesystem::path& path, const char* mode) {
    // Windows paths are UTF-16: the narrow fopen would lose every character
    // outside the ANSI code page.
    std::wstring wideMode(mode, mode + std::strlen(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
}
#else
int openFile(const std::filesystem::path& path, bool append) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens `path`, creating `folder` when the file cannot be opened for want of
// it (deleted between two lines, or the first line).
int openCreating(const std::filesystem::path& path, bool append,
                 const std::filesystem::path* folder) {
    int fd = openFile(path, append);
    if (fd < 0 && errno == ENOENT && folder != nullptr) {
        createFolder(*folder);
        fd = openFile(path, append);
    }
    if (fd < 0) raiseIo(path, errno);
    return fd;
}

// The whole of `bytes` (one write for anything short; a regular file only
// writes less when the disk is full or a signal comes), or the error.
int writeAll(int fd, std::string_view bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}
#endif

}  // namespace

#ifdef _WIN32

void writeWholeFile(const std::filesystem::path& path, std::string_view bytes, bool append,
                    const std::filesystem::path* folder) {
    const char* mode = append ? "ab" : "wb";
    std::FILE* file = openFile(path, mode);
    if (!file && errno == ENOENT && folder != nullptr) {
        createFolder(*folder);
        file = openFile(path, mode);
    }
    if (!file) raiseIo(path, errno);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written) raiseIo(path, writeError);
    if (!closed) raiseIo(path, errno);
}

AppendFile::~AppendFile() = default;

void AppendFile::append(const std::filesystem::path& path, std::string_view bytes) {
    writeWholeFile(path, bytes, true, &folder_);
}

#else

void writeWholeFile(const std::filesystem::path& path, std::string_view bytes, bool append,
                    const std::filesystem::path* folder) {
    const int fd = openCreating(path, append, folder);
    const int writeError = writeAll(fd, bytes);
    const bool closed = ::close(fd) == 0 || errno == EINTR;
    if (writeError != 0) raiseIo(path, writeError);
    if (!closed) raiseIo(path, errno);
}

AppendFile::~AppendFile() {
    close();
    unwatch();
}

void AppendFile::append(const std::filesystem::path& path, std::string_view bytes) {
    if (fd_ >= 0 && (path.native() != path_.native() || !stillNamed())) close();
    if (fd_ < 0) {
        // Watched before it is opened: a change between the open and the
        // watch cannot go unseen (the open's own creation of the file only
        // costs the next line a stat).
        if (!watch(path)) unwatch();
        open(path);
    }
    if (const int error = writeAll(fd_, bytes); error != 0) {
        close();  // the next line starts from the path again
        raiseIo(path, error);
    }
}

void AppendFile::open(const std::filesystem::path& path) {
    const int fd = openCreating(path, true, &folder_);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        raiseIo(path, error);
    }
    fd_ = fd;
    path_ = path;
    device_ = static_cast<std::uint64_t>(st.st_dev);
    inode_ = static_cast<std::uint64_t>(st.st_ino);
}

void AppendFile::close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

bool AppendFile::stillNamed() {
    if (watchFd_ < 0) return pathNamesOpenFile();
    if (!pathMayHaveChanged()) return true;
    // Watched again before the path is asked, so that nothing after the
    // answer goes unseen.
    if (!watch(path_)) unwatch();
    return pathNamesOpenFile();
}

bool AppendFile::pathNamesOpenFile() const {
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == device_ &&
           static_cast<std::uint64_t>(st.st_ino) == inode_;
}

#ifdef __linux__

bool AppendFile::watch(const std::filesystem::path& path) {
    unwatch();
    // A relative path would follow the working folder, which no watch sees.
    if (!path.is_absolute() || !path.has_filename()) return false;
    watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watchFd_ < 0) return false;
    // Each folder of the path: its entry the path goes through created,
    // deleted or renamed, or the folder itself deleted, renamed or unmounted.
    constexpr std::uint32_t kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    std::filesystem::path entry = path;
    for (std::filesystem::path folder = path.parent_path();; folder = folder.parent_path()) {
        const int wd = ::inotify_add_watch(watchFd_, folder.c_str(), kMask);
        // A folder still missing (the first line creates it) is watched from
        // its parent, whose entry for it will change.
        if (wd >= 0) watched_.emplace_back(wd, entry.filename().string());
        if (wd < 0 && errno != ENOENT && errno != ENOTDIR) return false;
        if (folder == folder.root_path() || !folder.has_relative_path()) break;
        entry = folder;
    }
    return !watched_.empty();
}

void AppendFile::unwatch() {
    if (watchFd_ >= 0) ::close(watchFd_);
    watchFd_ = -1;
    watched_.clear();
}

bool AppendFile::pathMayHaveChanged() {
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    for (;;) {
        const ssize_t n = ::read(watchFd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return changed || (n < 0 && errno != EAGAIN);
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask &
                 (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED | IN_Q_OVERFLOW)) != 0) {
                changed = true;
                continue;
            }
            const std::string_view name = event->len > 0 ? event->name : "";
            for (const auto& [wd, entry] : watched_) {
                if (wd == event->wd && name == entry) changed = true;
            }
        }
    }
}

#else

bool AppendFile::watch(const std::filesystem::path&) {
    return false;
}
void AppendFile::unwatch() {}
bool AppendFile::pathMayHaveChanged() {
    return true;
}

#endif

#endif

}  // namespace qel::log
