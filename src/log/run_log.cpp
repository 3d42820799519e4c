#include "log/run_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/error.h"
#include "core/text.h"

namespace qel::log {
namespace {

[[noreturn]] void raiseIo(const std::filesystem::path& path, int error) {
    throw IoError(std::string(std::strerror(error)) + ": " + path.string());
}

std::FILE* openFile(const std::filesystem::path& path, const char* mode) {
#ifdef _WIN32
    // Windows paths are UTF-16: the narrow fopen would lose every character
    // outside the ANSI code page.
    std::wstring wideMode(mode, mode + std::strlen(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

// Writes `bytes` to a new or existing file, opening and closing it here.
// `folder`, when given, is created when the file cannot be opened for want
// of it (it was deleted, or this is the first line).
void writeFile(const std::filesystem::path& path, const std::string& bytes, const char* mode,
               const std::filesystem::path* folder = nullptr) {
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
    writeFile(fileFor(now), text::utf8ToCp1252(line), "ab", &folder_);
}

void RunLog::GravaLastHandle(std::string_view text) {
    std::lock_guard lock(mutex_);
    const auto path = lastHandleFile();
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec) throw IoError(ec.message() + ": " + path.string());
    writeFile(path, text::utf8ToCp1252(std::string(text) + "\r\n"), "wb");
}

}  // namespace qel::log
