#include "log/run_log.h"

#include "core/error.h"
#include "core/text.h"

namespace qel::log {

RunLog::RunLog(std::filesystem::path executableFolder, const Clock& clock)
    : executableFolder_(std::move(executableFolder)),
      folder_(executableFolder_ / "Dados" / "Qel_Exp"),
      clock_(clock),
      file_(folder_) {}

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
    file_.append(*currentFile_, text::utf8ToCp1252(line));
}

void RunLog::GravaLastHandle(std::string_view text) {
    std::lock_guard lock(mutex_);
    const auto path = lastHandleFile();
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec) throw IoError(ec.message() + ": " + path.string());
    writeWholeFile(path, text::utf8ToCp1252(std::string(text) + "\r\n"), false);
}

}  // namespace qel::log
