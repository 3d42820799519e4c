// qelexp-status: is this station behind, and why? Shows the rows waiting
// per table, the oldest waiting sale, and from the run logs the last run's
// outcome, the last successful transfer, the last cleanup and the newest
// lines (converted from Windows-1252). Exports nothing and changes nothing.

#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/command_line.h"
#include "contracts/support_library.h"
#include "core/clock.h"
#include "db/connection.h"
#include "platform/platform.h"
#include "status/station_status.h"

namespace {

constexpr std::string_view kProgram = "qelexp-status";
constexpr std::string_view kUsage =
    "Usage: qelexp-status --store CDFILIAL --station CDCAIXA [options]\n"
    "\n"
    "Shows whether a station is behind and why: rows waiting per table, the oldest\n"
    "waiting sale, and from the run logs the last run's outcome and time, the last\n"
    "successful transfer and the last cleanup. Reads the station database named by\n"
    "the configuration file (QELEXP_REGISTRY, default /etc/qelexp/registry.conf);\n"
    "exports nothing.\n"
    "\n"
    "Options:\n"
    "  --store CDFILIAL   store code (required)\n"
    "  --station CDCAIXA  station code (required)\n"
    "  --folder DIR       the agent's folder, holding Dados/Qel_Exp (default: the\n"
    "                     executable's folder)\n"
    "  --log-lines N      newest run-log lines to show (default 10, 0..1000)\n"
    "  -h, --help         this text\n"
    "  --version          the program's version\n"
    "\n"
    "Exit codes: 0 shown, 1 the station database could not be read, 2 usage error.\n";

std::string when(const std::optional<qel::status::LogLine>& line) {
    return line ? line->at.toFullText() : std::string("none in the run logs");
}

int showStatus(const qel::cli::ParsedOptions& options) {
    const std::string store = options.text("--store");
    const std::string station = options.text("--station");
    if (store.empty() || station.empty()) {
        throw qel::cli::UsageError("--store and --station are required");
    }
    const auto tailLines = static_cast<std::size_t>(options.integer("--log-lines", 10, 0, 1000));
    auto platform = qel::platform::createPlatform();
    const std::filesystem::path home = options.has("--folder")
                                           ? std::filesystem::path(options.text("--folder"))
                                           : platform->executableFolder();
    std::printf("Station %s/%s\n", store.c_str(), station.c_str());

    int exitCode = qel::cli::kExitSuccess;
    try {
        qel::SystemClock clock;
        qel::db::Connection db(clock, qel::contracts::GetStringConexQel(*platform, ""));
        const qel::status::StationBacklog backlog = qel::status::readBacklog(db, store, station);
        std::int64_t total = 0;
        std::printf("Rows waiting to be exported:\n");
        for (const auto& t : backlog.tables) {
            if (t.rows == 0) continue;
            std::printf("  %-16s %lld\n", t.table.c_str(), static_cast<long long>(t.rows));
            total += t.rows;
        }
        if (total == 0) std::printf("  none\n");
        std::printf("Sales waiting: %lld\n", static_cast<long long>(backlog.waitingSales));
        std::printf("Sales open at the till: %lld (they are sent once the till closes them)\n",
                    static_cast<long long>(backlog.openSales));
        std::printf(
            "Oldest waiting sale: %s\n",
            backlog.oldestWaitingSale ? backlog.oldestWaitingSale->toFullText().c_str() : "none");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: cannot read the station database: %s\n", kProgram.data(),
                     e.what());
        exitCode = qel::cli::kExitFailure;
    }

    const qel::status::RunHistory history = qel::status::readRunHistory(home, tailLines);
    std::printf("Run logs: %s\n", (home / "Dados" / "Qel_Exp").c_str());
    std::printf("Last run: %s%s%s\n", when(history.lastRunStart).c_str(),
                history.lastRunStart ? ", " : "", history.lastRunOutcome.c_str());
    std::printf("Last successful transfer: %s\n", when(history.lastSuccessfulTransfer).c_str());
    std::printf("Last cleanup: %s\n", when(history.lastCleanup).c_str());
    if (history.lastSummary) {
        std::printf("Last one-shot summary: %s, %s\n", history.lastSummary->at.toFullText().c_str(),
                    history.lastSummary->message.c_str());
    }
    if (!history.tail.empty()) {
        std::printf("Newest run-log lines:\n");
        for (const auto& line : history.tail) {
            std::printf("  %s - %s\n", line.at.toFullText().c_str(), line.message.c_str());
        }
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    return qel::cli::runProgram(kProgram, kUsage, argc, argv,
                                {{"--store"}, {"--station"}, {"--folder"}, {"--log-lines"}},
                                showStatus);
}
