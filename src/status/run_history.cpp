// What the run logs say about the latest export runs.
#include <algorithm>
#include <fstream>
#include <sstream>

#include "core/text.h"
#include "status/station_status.h"

namespace qel::status {
namespace {

// Qel_ExpDDMMYY.txt: the day of the file, or nullopt for any other name.
std::optional<DateTime> dayOfLog(const std::filesystem::path& file) {
    const std::string name = file.filename().string();
    if (name.size() != 17 || name.rfind("Qel_Exp", 0) != 0 || name.substr(13) != ".txt") {
        return std::nullopt;
    }
    const std::string ddmmyy = name.substr(7, 6);
    if (!std::all_of(ddmmyy.begin(), ddmmyy.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    try {
        return DateTime::parse(ddmmyy.substr(0, 2) + "/" + ddmmyy.substr(2, 2) + "/20" +
                               ddmmyy.substr(4, 2));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::vector<LogLine> readLog(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream raw;
    raw << in.rdbuf();
    std::istringstream lines(text::cp1252ToUtf8(raw.str()));
    std::vector<LogLine> out;
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto sep = line.find(" - ");
        if (sep == std::string::npos) continue;
        try {
            out.push_back({DateTime::parse(line.substr(0, sep)), line.substr(sep + 3)});
        } catch (const std::exception&) {
            // Not a line of the run log: skipped.
        }
    }
    return out;
}

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.rfind(prefix, 0) == 0;
}

}  // namespace

RunHistory readRunHistory(const std::filesystem::path& executableFolder, std::size_t tailLines) {
    const std::filesystem::path folder = executableFolder / "Dados" / "Qel_Exp";
    std::vector<std::pair<DateTime, std::filesystem::path>> logs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (const auto day = dayOfLog(entry.path())) logs.emplace_back(*day, entry.path());
    }
    std::sort(logs.begin(), logs.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });

    RunHistory history;
    for (std::size_t f = 0; f < logs.size(); ++f) {
        const std::vector<LogLine> lines = readLog(logs[f].second);
        if (f == 0) {
            const std::size_t from = lines.size() > tailLines ? lines.size() - tailLines : 0;
            history.tail.assign(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end());
        }
        // Newest line first.
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            const std::string& m = it->message;
            if (!history.lastSuccessfulTransfer &&
                startsWith(m, "Fim da atualização das vendas no MSDE")) {
                history.lastSuccessfulTransfer = *it;
            }
            if (!history.lastCleanup && m == "Finalizando Limpeza.") history.lastCleanup = *it;
            if (!history.lastSummary && startsWith(m, "Resumo da exportação: ")) {
                history.lastSummary = *it;
            }
            if (!history.lastRunStart) {
                if (startsWith(m, "ERRO Except ")) history.lastRunError = *it;
                if (m == "EXPORTAÇÃO REALIZADA COM SUCESSO" && history.lastRunOutcome.empty()) {
                    history.lastRunOutcome = "exported";
                }
                if (m == "NÃO EXISTEM DADOS A SEREM EXPORTADOS.") {
                    history.lastRunOutcome = "nothing to export";
                }
                if (m.find("INÍCIO DA GRAVAÇÃO DOS DADOS NO SERVIDOR") != std::string::npos) {
                    history.lastRunStart = *it;
                    if (history.lastRunError) {
                        history.lastRunOutcome = "failed: " + history.lastRunError->message;
                    } else if (history.lastRunOutcome.empty()) {
                        history.lastRunOutcome = "did not finish (still running, or stopped)";
                    }
                }
            }
        }
        if (history.lastRunStart && history.lastSuccessfulTransfer && history.lastCleanup &&
            history.lastSummary) {
            break;
        }
    }
    if (!history.lastRunStart) history.lastRunError.reset();
    return history;
}

}  // namespace qel::status
