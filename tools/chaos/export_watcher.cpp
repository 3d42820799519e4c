#include "export_watcher.h"

#include <fstream>

#include "core/clock.h"
#include "core/text.h"
#include "run_logs.h"

namespace qel::chaos {

namespace {

// The line that opens every export run.
constexpr std::string_view kRunBegins = "INÍCIO DA GRAVAÇÃO DOS DADOS NO SERVIDOR";

}  // namespace

ExportWatcher::ExportWatcher(std::map<std::string, std::filesystem::path> agentFolders,
                             std::chrono::milliseconds every)
    : every_(every) {
    for (auto& [name, folder] : agentFolders) agents_[name].logs = folder / "Dados" / "Qel_Exp";
    if (every_.count() > 0) {
        thread_ = std::thread([this] {
            while (!stop_) {
                poll();
                std::this_thread::sleep_for(every_);
            }
        });
    }
}

ExportWatcher::~ExportWatcher() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void ExportWatcher::poll() {
    const auto now = Steady::now();
    const DateTime wallNow = SystemClock().now();
    std::lock_guard lock(mutex_);
    for (auto& [name, agent] : agents_) readNew(agent, now, wallNow);
}

void ExportWatcher::readNew(Agent& agent, Steady::time_point now, DateTime wallNow) {
    std::error_code ec;
    // Log files are named by the agent's own date, which a clock step moves.
    for (const auto& entry : std::filesystem::directory_iterator(agent.logs, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Qel_Exp", 0) != 0 || entry.path().extension() != ".txt") continue;
        std::error_code sizeError;
        const auto size = std::filesystem::file_size(entry.path(), sizeError);
        if (sizeError) continue;
        auto& from = agent.readUpTo[entry.path()];
        // A log put back after the folder was unwritable holds what was read
        // before as its beginning; a shorter one starts anew from its end.
        if (size < from) from = size;
        if (size == from) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(from));
        std::string added(static_cast<std::size_t>(size - from), '\0');
        in.read(added.data(), static_cast<std::streamsize>(added.size()));
        added.resize(static_cast<std::size_t>(in.gcount()));
        const auto lastLine = added.rfind('\n');
        if (lastLine == std::string::npos) continue;  // a line still being written
        added.resize(lastLine + 1);
        from += added.size();
        std::size_t at = 0;
        while (at < added.size()) {
            const auto end = added.find('\n', at);
            const std::string line = text::cp1252ToUtf8(added.substr(at, end - at));
            at = end + 1;
            const auto sep = line.find(" - ");
            if (sep == std::string::npos) continue;
            std::string_view said = std::string_view(line).substr(sep + 3);
            if (!said.empty() && said.back() == '\r') said.remove_suffix(1);
            if (said.find(kRunBegins) != std::string_view::npos) {
                agent.seen.push_back({now, wallNow, Event::Begun});
                agent.errorInRun = false;
            } else if (said.starts_with("ERRO")) {
                agent.errorInRun = true;
            } else if (said == kExportSucceeded && !agent.errorInRun) {
                agent.seen.push_back({now, wallNow, Event::Completed});
            }
        }
    }
}

std::optional<ExportWatcher::Steady::time_point> ExportWatcher::runBegunAfter(
    const std::string& agent, Steady::time_point t) const {
    std::lock_guard lock(mutex_);
    const auto it = agents_.find(agent);
    if (it == agents_.end()) return std::nullopt;
    for (const Seen& s : it->second.seen) {
        if (s.event == Event::Begun && s.at > t + every_) return s.at;
    }
    return std::nullopt;
}

std::optional<ExportWatcher::Steady::time_point> ExportWatcher::exportCompletedAfter(
    const std::string& agent, Steady::time_point t) const {
    std::lock_guard lock(mutex_);
    const auto it = agents_.find(agent);
    if (it == agents_.end()) return std::nullopt;
    bool begun = false;
    for (const Seen& s : it->second.seen) {
        if (s.event == Event::Begun && s.at > t + every_) begun = true;
        if (begun && s.event == Event::Completed) return s.at;
    }
    return std::nullopt;
}

std::optional<ExportWatcher::Steady::time_point> ExportWatcher::servedRunBegunAfter(
    const std::string& agent, Steady::time_point t) const {
    std::lock_guard lock(mutex_);
    const auto it = agents_.find(agent);
    if (it == agents_.end()) return std::nullopt;
    // A completion belongs to the last run begun before it; a run killed
    // before its end has none.
    std::optional<Steady::time_point> begun;
    for (const Seen& s : it->second.seen) {
        if (s.event == Event::Begun) {
            begun = s.at > t + every_ ? std::optional(s.at) : std::nullopt;
        } else if (begun) {
            return begun;
        }
    }
    return std::nullopt;
}

std::map<std::string, std::vector<DateTime>> ExportWatcher::completedByAgent() const {
    std::lock_guard lock(mutex_);
    std::map<std::string, std::vector<DateTime>> out;
    for (const auto& [name, agent] : agents_) {
        auto& times = out[name];
        for (const Seen& s : agent.seen) {
            if (s.event == Event::Completed) times.push_back(s.wallAt);
        }
    }
    return out;
}

}  // namespace qel::chaos
