#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qel::log {

// One file appended to line by line through a descriptor kept open between
// lines (O_APPEND, one write per line): a line is in the file as soon as the
// call returns, so it survives a crash of the process exactly as an
// open-write-close would, with a stat and a write per line instead of an
// open, a write and a close.
//
// The path keeps its meaning: before each line it is asked whether it still
// names the open file, and when it does not (the file was deleted, replaced
// or renamed away, or its folder or a folder above was) the path is opened
// again, so every line lands in the file the path names at that moment, or
// fails as an open would. A missing folder is created again. On Linux the
// folders of the path are watched (inotify): a line costs one read of the
// watch, which finds nothing unless an entry of the path changed, and only
// then a stat of the path; elsewhere, or when no watch can be had, each line
// stats the path. On Windows, where an open file cannot be deleted or
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
    bool pathNamesOpenFile() const;
    // Watches the folders of `path` for changes of its entries; false when
    // no watch could be set (the path is then asked with a stat per line).
    bool watch(const std::filesystem::path& path);
    void unwatch();
    // Whether an entry of the watched path may have changed since the watch
    // was set or last read.
    bool pathMayHaveChanged();

    std::filesystem::path folder_;
    std::filesystem::path path_;  // the path the descriptor was opened for
    int fd_ = -1;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
    int watchFd_ = -1;  // inotify descriptor, when the path is watched
    // Per watch descriptor, the entry of its folder that the path goes through.
    std::vector<std::pair<int, std::string>> watched_;
};

// Writes `bytes` to a new or existing file, opening and closing it here
// (`append` or truncating). `folder`, when given, is created when the file
// cannot be opened for want of it. Throws IoError.
void writeWholeFile(const std::filesystem::path& path, std::string_view bytes, bool append,
                    const std::filesystem::path* folder = nullptr);

}  // namespace qel::log
