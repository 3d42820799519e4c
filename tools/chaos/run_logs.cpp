#include "run_logs.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "core/text.h"

namespace qel::chaos {

std::vector<DateTime> completedExports(const std::filesystem::path& agentFolder) {
    std::vector<DateTime> out;
    std::error_code ec;
    const auto folder = agentFolder / "Dados" / "Qel_Exp";
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Qel_Exp", 0) != 0 || entry.path().extension() != ".txt") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream raw;
        raw << in.rdbuf();
        std::istringstream lines(text::cp1252ToUtf8(raw.str()));
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const auto sep = line.find(" - ");
            if (sep == std::string::npos || line.substr(sep + 3) != kExportSucceeded) continue;
            try {
                out.push_back(DateTime::parse(line.substr(0, sep)));
            } catch (const std::exception&) {
                // A torn line of a killed agent: not a completed run.
            }
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::map<std::string, std::vector<DateTime>> completedExportsByAgent(
    const std::filesystem::path& agentsFolder) {
    std::map<std::string, std::vector<DateTime>> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(agentsFolder, ec)) {
        if (!entry.is_directory()) continue;
        if (!std::filesystem::exists(entry.path() / "Dados")) continue;
        out[entry.path().filename().string()] = completedExports(entry.path());
    }
    return out;
}

}  // namespace qel::chaos
