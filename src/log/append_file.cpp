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
}

void AppendFile::append(const std::filesystem::path& path, std::string_view bytes) {
    if (fd_ >= 0 && (path.native() != path_.native() || !stillNamed())) close();
    if (fd_ < 0) open(path);
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
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == device_ &&
           static_cast<std::uint64_t>(st.st_ino) == inode_;
}

#endif

}  // namespace qel::log
