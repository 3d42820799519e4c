#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/clock.h"
#include "log/append_file.h"

namespace qel::log {

// Writes one line to the run log; what every routine is handed.
using LogSink = std::function<void(std::string_view message)>;

// The daily run log next to the executable:
//   <exe folder>/Dados/Qel_Exp/Qel_Exp<DDMMYY>.txt
// Each line is the local date and time, " - ", the message and CR LF, in
// Windows-1252. Each line is one append to the day's file, in it when the
// call returns (see AppendFile): the file can be read, copied, deleted or
// replaced between two lines, and a missing folder is created again. The
// main thread and the watchdog both write: a lock keeps their lines whole
// and in order.
class RunLog {
  public:
    RunLog(std::filesystem::path executableFolder, const Clock& clock);

    // Appends one line (message in UTF-8). Throws IoError with the system's
    // message when the folder or file cannot be created or written.
    void GravaLog(std::string_view message);

    // Replaces "lastHandle.txt" by a file holding `text` as its one line.
    void GravaLastHandle(std::string_view text);

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path fileFor(DateTime day) const;
    std::filesystem::path lastHandleFile() const;

    // A sink bound to this log, for routines that only write lines.
    LogSink sink() {
        return [this](std::string_view m) { GravaLog(m); };
    }

  private:
    std::filesystem::path executableFolder_;
    std::filesystem::path folder_;  // built once: every line is written there
    const Clock& clock_;
    std::mutex mutex_;
    // The file of the day of the last line (guarded by mutex_).
    std::optional<std::filesystem::path> currentFile_;
    DateTime currentDay_;
    AppendFile file_;  // guarded by mutex_
};

}  // namespace qel::log
