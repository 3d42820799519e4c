// qelexp-export-once: exports what one station has pending now, with the
// same export run the resident agent makes (EnviaVendas), repeated until
// nothing waits, then exits. It takes the agent's single-instance lock, so it
// never runs beside an agent or another export of the same machine. It stops
// at the first failed transfer and exits 1; the run log says why.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "cli/command_line.h"
#include "core/clock.h"
#include "export/data_module.h"
#include "log/run_log.h"
#include "one_shot/agent_tool.h"
#include "platform/platform.h"
#include "status/station_status.h"

namespace {

constexpr std::string_view kProgram = "qelexp-export-once";
constexpr std::string_view kUsage =
    "Usage: qelexp-export-once --store CDFILIAL --station CDCAIXA [options]\n"
    "\n"
    "Exports every pending row of one station to the application server now, with\n"
    "the export run of the resident agent, repeated until nothing waits.\n"
    "The station database and the server address come from the configuration file\n"
    "(QELEXP_REGISTRY, default /etc/qelexp/registry.conf).\n"
    "\n"
    "Options:\n"
    "  --store CDFILIAL     store code (required)\n"
    "  --station CDCAIXA    station code (required)\n"
    "  --shop CDLOJA        shop code (default: the station's row in CAIXA)\n"
    "  --fiscal-type N      the station's IDTIPOIMPFIS; 24 and 29 skip the difference\n"
    "                       adjustment (default 0)\n"
    "  --folder DIR         where the run log goes: DIR/Dados/Qel_Exp (default: the\n"
    "                       executable's folder)\n"
    "  --max-runs N         at most N export runs (default 1000, 1..1000000)\n"
    "  -h, --help           this text\n"
    "  --version            the program's version\n"
    "\n"
    "Exit codes: 0 everything sent, 1 a failure (see the run log), 2 usage error.\n";

struct Totals {
    int runs = 0;
    int transfers = 0;
    std::int64_t rowsSent = 0, salesSent = 0, rowsConfirmed = 0, rowsRefused = 0;

    void add(const qel::agent::RunOutcome& o) {
        ++runs;
        transfers += o.transfers;
        rowsSent += o.rowsSent;
        salesSent += o.salesSent;
        rowsConfirmed += o.rowsConfirmed;
        rowsRefused += o.rowsRefused;
    }
};

// Sales still waiting and sales open at the till, or nullopt when the
// station database cannot say.
std::optional<qel::status::StationBacklog> backlogOf(qel::agent::TdtmExportaVenda& dm,
                                                     const std::string& store,
                                                     const std::string& station) {
    try {
        return qel::status::readBacklog(dm.adcCaixa, store, station);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

int exportOnce(const qel::cli::ParsedOptions& options) {
    const std::string store = options.text("--store");
    const std::string station = options.text("--station");
    if (store.empty() || station.empty()) {
        throw qel::cli::UsageError("--store and --station are required");
    }
    const int fiscalType = static_cast<int>(options.integer("--fiscal-type", 0, 0, 9999));
    const std::int64_t maxRuns = options.integer("--max-runs", 1000, 1, 1'000'000);

    qel::SystemClock clock;
    auto platform = qel::platform::createPlatform();
    const auto folder =
        qel::one_shot::lockAndFolder(*platform, options, kProgram, "nothing exported");
    if (!folder) return qel::cli::kExitFailure;
    const std::filesystem::path& home = *folder;
    qel::log::RunLog runLog(home, clock);
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    // Every line also goes to stderr when a person is watching.
    auto sink = [&](std::string_view line) {
        runLog.GravaLog(line);
        if (terminal && line.starts_with("ERRO")) {
            std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
        }
    };
    qel::agent::TdtmExportaVenda dm({clock, *platform, sink, {}, home});
    dm.stopAtFailedTransfer = true;

    std::string shop = options.text("--shop");
    if (shop.empty()) dm.GetLoja(store, station, shop);

    const auto started = std::chrono::steady_clock::now();
    Totals totals;
    const qel::agent::RunOutcome* last = &dm.outcome;
    bool stalled = false;
    while (totals.runs < maxRuns) {
        dm.EnviaVendas(store, station, shop, fiscalType);
        totals.add(dm.outcome);
        if (terminal) {
            const auto elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            std::fprintf(stderr,
                         "\rrun %d: %d transfer(s), %lld sale(s) in %lld row(s) sent, %lld "
                         "verdict(s) OK, %.1f s",
                         totals.runs, totals.transfers, static_cast<long long>(totals.salesSent),
                         static_cast<long long>(totals.rowsSent),
                         static_cast<long long>(totals.rowsConfirmed), elapsed);
        }
        if (!dm.outcome.succeeded() || !dm.outcome.lastTransferHadSales) break;
        // Sales sent and none confirmed: the next run would send them again.
        if (dm.outcome.rowsConfirmed == 0) {
            stalled = true;
            break;
        }
    }
    if (terminal) std::fputc('\n', stderr);

    const bool ok = last->succeeded() && !stalled && totals.rowsRefused == 0;
    const auto backlog = backlogOf(dm, store, station);
    const std::string pending = backlog ? std::to_string(backlog->waitingSales) : std::string("?");
    const std::string open = backlog ? std::to_string(backlog->openSales) : std::string("?");
    const std::string summary =
        "Resumo da exportação: " + std::to_string(totals.runs) + " execução(ões), " +
        std::to_string(totals.transfers) + " transferência(s); enviadas " +
        std::to_string(totals.salesSent) + " vendas e " + std::to_string(totals.rowsSent) +
        " linhas; veredictos das tabelas com confirmação (cobrem todas as linhas enviadas): "
        "confirmadas " +
        std::to_string(totals.rowsConfirmed) + "; recusadas " + std::to_string(totals.rowsRefused) +
        "; vendas pendentes " + pending + " (e " + open +
        " abertas no caixa); resultado: " + (ok ? "sucesso" : "falha");
    runLog.GravaLog(summary);
    // The server answers one verdict per row of the acknowledged tables (the
    // sales and the other tables it confirms); the rows of the remaining
    // tables travel with them, so verdicts count fewer than rows sent.
    std::printf(
        "%s: %s (%s); sent %lld sale(s) in %lld row(s) of all tables; verdicts of the "
        "acknowledged tables, which cover every row sent: %lld OK, %lld refused; "
        "still pending %s sale(s), %s open at the till\nrun log: %s\n",
        kProgram.data(), ok ? "done" : "FAILED", qel::agent::resultName(last->result),
        static_cast<long long>(totals.salesSent), static_cast<long long>(totals.rowsSent),
        static_cast<long long>(totals.rowsConfirmed), static_cast<long long>(totals.rowsRefused),
        pending.c_str(), open.c_str(), runLog.fileFor(clock.now()).c_str());
    if (!ok) {
        const std::string why = !last->errors.empty() ? last->errors.front()
                                : stalled             ? "the server confirmed none of the rows sent"
                                : totals.rowsRefused  ? "the server refused rows"
                                                      : qel::agent::resultName(last->result);
        std::fprintf(stderr, "%s: export failed: %s\n", kProgram.data(), why.c_str());
        return qel::cli::kExitFailure;
    }
    return qel::cli::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    return qel::cli::runProgram(
        kProgram, kUsage, argc, argv,
        {{"--store"}, {"--station"}, {"--shop"}, {"--fiscal-type"}, {"--folder"}, {"--max-runs"}},
        [](const qel::cli::ParsedOptions& options) {
            try {
                return exportOnce(options);
            } catch (const qel::cli::UsageError&) {
                throw;
            } catch (const std::exception& e) {
                // The run log itself cannot be written: the routines' errors
                // travel up to here, and only standard error is left.
                std::fprintf(stderr, "%s: %s\n", kProgram.data(), e.what());
                return qel::cli::kExitFailure;
            }
        });
}
