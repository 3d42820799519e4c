#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace qel::log {

// One file appended to line by line through a descriptor kept open between
// lines (O_APPEND, one write per line): a line is in the file as soon as the
// call returns, so it survives a crash of the process exactly as an
// open-write-close would, with a stat and a write per line instead of an
// open, a write and a close.
//
// The path keeps its meaning: before each line it is asked whether it still
// names the open file (one stat, about half the cost of an open and a close),
// and when it does not (the file was deleted, replaced or renamed away, or
// its folder was) the path is opened again, so every line lands in the file
// the path names at that moment, or fails as an open would. A missing folder
// is created again. On Windows, where an open file cannot be deleted or
// renamed by others, each line still opens, writes and closes the file.
//
// Not thread-safe: the caller serialises its calls.
class AppendFile {
  public:
    explicit AppendFile(std::filesystem::path folder) : folder_(std::move(folder)) {}
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Appends `bytes` to the file at `path` (inside the folder), switching
    // to it when it differs from the last one. Throws IoError with the
    // system's message when the folder or file cannot be created or written;
    // the next call then opens the path again.
    void append(const std::filesystem::path& path, std::string_view bytes);

  private:
    void open(const std::filesystem::path& path);
    void close();
    bool stillNamed();

    std::filesystem::path folder_;
    std::filesystem::path path_;  // the path the descriptor was opened for
    int fd_ = -1;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
};

// Writes `bytes` to a new or existing file, opening and closing it here
// (`append` or truncating). `folder`, when given, is created when the file
// cannot be opened for want of it. Throws IoError.
void writeWholeFile(const std::filesystem::path& path, std::string_view bytes, bool append,
                    const std::filesystem::path* folder = nullptr);

}  // namespace qel::log
