// qelexp-reconcile: the agent's reconciliation of short days, once, by
// hand: asks the application server which days of the station it holds
// short of the station's own summary, asks it about every sale the station
// keeps of each, and makes the ones it lacks or holds differently wait, so
// that the next export run (the agent's, or qelexp-export-once) sends them.
// Marks nothing the server holds and deletes nothing. Takes the agent's
// single-instance lock, so it never runs beside an agent or an export.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/command_line.h"
#include "core/clock.h"
#include "export/data_module.h"
#include "export/day_reconciliation.h"
#include "log/run_log.h"
#include "one_shot/agent_tool.h"
#include "platform/platform.h"

namespace {

constexpr std::string_view kProgram = "qelexp-reconcile";
constexpr std::string_view kUsage =
    "Usage: qelexp-reconcile --store CDFILIAL --station CDCAIXA [options]\n"
    "\n"
    "Asks the application server which of the station's days it holds short of the\n"
    "station's own day summary, checks every sale the station keeps of each such day\n"
    "with the server, and marks the sales the server lacks or holds differently to be\n"
    "sent again by the next export run. Marks nothing the server holds; deletes\n"
    "nothing. The station database and the server address come from the\n"
    "configuration file (QELEXP_REGISTRY, default /etc/qelexp/registry.conf).\n"
    "\n"
    "Options:\n"
    "  --store CDFILIAL     store code (required)\n"
    "  --station CDCAIXA    station code (required)\n"
    "  --folder DIR         where the run log goes: DIR/Dados/Qel_Exp (default: the\n"
    "                       executable's folder)\n"
    "  --day DD/MM/YYYY     only this day, checked even when the server does not list it\n"
    "  --days N             the last N days (default: the ReconcileDays value, or 31;\n"
    "                       1..3660)\n"
    "  -h, --help           this text\n"
    "  --version            the program's version\n"
    "\n"
    "Exit codes: 0 done (see what it printed), 1 a failure (see the run log), 2 usage\n"
    "error.\n";

qel::DateTime parseDay(const std::string& text) {
    int d = 0, m = 0, y = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%2d/%2d/%4d%c", &d, &m, &y, &extra) == 3 && y >= 1900 &&
        m >= 1 && m <= 12 && d >= 1 && d <= 31) {
        try {
            const qel::DateTime day = qel::DateTime::fromDate(y, m, d);
            if (day.format("dd/mm/yyyy") == text) return day;
        } catch (const std::exception&) {
            // No such day (31/02): the usage error below.
        }
    }
    throw qel::cli::UsageError("--day must be a date DD/MM/YYYY, not '" + text + "'");
}

int reconcile(const qel::cli::ParsedOptions& options) {
    const std::string store = options.text("--store");
    const std::string station = options.text("--station");
    if (store.empty() || station.empty()) {
        throw qel::cli::UsageError("--store and --station are required");
    }
    std::optional<qel::DateTime> day;
    if (options.has("--day")) day = parseDay(options.text("--day"));

    qel::SystemClock clock;
    auto platform = qel::platform::createPlatform();
    int days = static_cast<int>(options.integer("--days", 0, 1, qel::agent::kReconcileDaysMost));
    if (days == 0) {
        days = qel::agent::reconcileDaysSetting(*platform);
        if (days == 0) days = 31;
    }
    if (day) {
        // The window reaches back to the day asked for.
        const double back = clock.today().value() - day->value() + 1;
        days = static_cast<int>(std::clamp<double>(back, days, qel::agent::kReconcileDaysMost));
    }
    const auto folder = qel::one_shot::lockAndFolder(*platform, options, kProgram, "nothing done");
    if (!folder) return qel::cli::kExitFailure;
    const std::filesystem::path& home = *folder;
    qel::log::RunLog runLog(home, clock);
    qel::agent::TdtmExportaVenda dm({clock, *platform, runLog.sink(), {}, home});
    const qel::agent::ReconciliationResult result =
        qel::agent::ReconciliaDias(dm, store, station, days, day);

    std::printf("Station %s/%s, the last %d day(s)%s:\n", store.c_str(), station.c_str(), days,
                day ? (" (only " + day->format("dd/mm/yyyy") + ")").c_str() : "");
    std::int64_t resent = 0;
    for (const qel::agent::ReconciledDay& d : result.days) {
        std::string figures = "not listed as short by the server";
        if (d.reportedSales >= 0) {
            figures = "the station reports " + std::to_string(d.reportedSales) +
                      " sale(s), the server holds " + std::to_string(d.heldSales);
        }
        if (!d.recoverable) {
            std::printf(
                "  %s: %s; older than the station's retention (%d days): not "
                "recoverable from this station\n",
                d.day.format("dd/mm/yyyy").c_str(), figures.c_str(), result.retentionDays);
            continue;
        }
        std::printf(
            "  %s: %s; %lld sale(s) of the station checked, %lld marked to be sent "
            "again\n",
            d.day.format("dd/mm/yyyy").c_str(), figures.c_str(), static_cast<long long>(d.checked),
            static_cast<long long>(d.resent));
        resent += d.resent;
    }
    if (result.days.empty() && result.succeeded) std::printf("  no short day\n");
    std::printf("run log: %s\n", runLog.fileFor(clock.now()).c_str());
    if (!result.succeeded) {
        std::fprintf(stderr, "%s: reconciliation failed; the run log says why\n", kProgram.data());
        return qel::cli::kExitFailure;
    }
    if (resent > 0) {
        std::printf("%lld sale(s) wait to be sent by the next export run.\n",
                    static_cast<long long>(resent));
    }
    return qel::cli::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    return qel::cli::runProgram(kProgram, kUsage, argc, argv,
                                {{"--store"}, {"--station"}, {"--folder"}, {"--day"}, {"--days"}},
                                [](const qel::cli::ParsedOptions& options) {
                                    try {
                                        return reconcile(options);
                                    } catch (const qel::cli::UsageError&) {
                                        throw;
                                    } catch (const std::exception& e) {
                                        std::fprintf(stderr, "%s: %s\n", kProgram.data(), e.what());
                                        return qel::cli::kExitFailure;
                                    }
                                });
}
