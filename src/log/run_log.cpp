#include "log/run_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "core/error.h"
#include "core/text.h"

namespace qel::log {
namespace {

[[noreturn]] void raiseIo(const std::filesystem::path& path, int error) {
    throw IoError(std::string(std::strerror(error)) + ": " + path.string());
}

#ifdef _WIN32
std::FILE* openFile(const std::filesystem::path& path, const char* mode) {
    // Windows paths are UTF-16: the narrow fopen would lose every character
    // outside the ANSI code page.
    std::wstring wideMode(mode, mode + std::strlen(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
}

// Writes `bytes` to a new or existing file, opening and closing it here.
// `folder`, when given, is created when the file cannot be opened for want
// of it (it was deleted, or this is the first line).
void writeFile(const std::filesystem::path& path, const std::string& bytes, bool append,
               const std::filesystem::path* folder = nullptr) {
    const char* mode = append ? "ab" : "wb";
    std::FILE* file = openFile(path, mode);
    if (!file && errno == ENOENT && folder != nullptr) {
        std::error_code ec;
        std::filesystem::create_directories(*folder, ec);
        if (ec) throw IoError(ec.message() + ": " + folder->string());
        file = openFile(path, mode);
    }
    if (!file) raiseIo(path, errno);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written) raiseIo(path, writeError);
    if (!closed) raiseIo(path, errno);
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

// The same with the system calls themselves: a line is one write(2) of a
// few dozen bytes, so a stdio stream would only add a buffer allocation and
// a stat of the file per line.
void writeFile(const std::filesystem::path& path, const std::string& bytes, bool append,
               const std::filesystem::path* folder = nullptr) {
    int fd = openFile(path, append);
    if (fd < 0 && errno == ENOENT && folder != nullptr) {
        std::error_code ec;
        std::filesystem::create_directories(*folder, ec);
        if (ec) throw IoError(ec.message() + ": " + folder->string());
        fd = openFile(path, append);
    }
    if (fd < 0) raiseIo(path, errno);
    int writeError = 0;
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            writeError = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    const bool closed = ::close(fd) == 0 || errno == EINTR;
    if (writeError != 0) raiseIo(path, writeError);
    if (!closed) raiseIo(path, errno);
}
#endif

}  // namespace

RunLog::RunLog(std::filesystem::path executableFolder, const Clock& clock)
    : executableFolder_(std::move(executableFolder)),
      folder_(executableFolder_ / "Dados" / "Qel_Exp"),
      clock_(clock) {}

std::filesystem::path RunLog::fileFor(DateTime day) const {
    return folder() / ("Qel_Exp" + day.format("DDMMYY") + ".txt");
}

std::filesystem::path RunLog::lastHandleFile() const {
    return executableFolder_ / "lastHandle.txt";
}

void RunLog::GravaLog(std::string_view message) {
    std::lock_guard lock(mutex_);
    const DateTime now = clock_.now();
    std::string line = now.toFullText();
    line += " - ";
    line += message;
    line += "\r\n";
    // The file's name changes once a day: it is built again only then.
    const DateTime day = now.date();
    if (!currentFile_ || day != currentDay_) {
        currentFile_ = fileFor(day);
        currentDay_ = day;
    }
    writeFile(*currentFile_, text::utf8ToCp1252(line), true, &folder_);
}

void RunLog::GravaLastHandle(std::string_view text) {
    std::lock_guard lock(mutex_);
    const auto path = lastHandleFile();
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec) throw IoError(ec.message() + ": " + path.string());
    writeFile(path, text::utf8ToCp1252(std::string(text) + "\r\n"), false);
}

}  // namespace qel::log
