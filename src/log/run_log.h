#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/clock.h"

namespace qel::log {

// Writes one line to the run log; what every routine is handed.
using LogSink = std::function<void(std::string_view message)>;

// The daily run log next to the executable:
//   <exe folder>/Dados/Qel_Exp/Qel_Exp<DDMMYY>.txt
// Each line is the local date and time, " - ", the message and CR LF, in
// Windows-1252. The file is opened, written and closed on every call, so it
// can be read, copied or deleted between two lines; a missing folder is
// created again. The main thread and the watchdog both write: a lock keeps
// one call's open-write-close from overlapping the other's.
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
};

}  // namespace qel::log
