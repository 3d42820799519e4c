// qelexp-export-once: exports everything pending of one station now, the way
// an export run does (corrections, central consumer check, change check, one
// transfer per window of sales until nothing waits, difference adjustment,
// cleanup when the server says it is due), then exits.
// Configuration comes from the registry file (QELEXP_REGISTRY or
// /etc/qelexp/registry.conf); the run log goes to the given folder.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "contracts/support_library.h"
#include "core/clock.h"
#include "definitions/statement.h"
#include "export/data_module.h"
#include "log/messages.h"
#include "log/run_log.h"
#include "platform/platform.h"

namespace {

void usage() {
    std::puts(
        "Usage: qelexp-export-once --store CDFILIAL --station CDCAIXA [--shop CDLOJA]\n"
        "                          [--folder DIR] [--max-passes N]\n\n"
        "Exports every pending row of one station to the application server now.\n"
        "The station database and the server address come from the registry file\n"
        "(QELEXP_REGISTRY, default /etc/qelexp/registry.conf); the run log is written\n"
        "under DIR/Dados/Qel_Exp (default: the executable's folder).");
}

// The newest last-update time of a table, or `fallback` when it has none.
qel::DateTime lastUpdate(qel::agent::TdtmExportaVenda& dm, const char* query, bool countTest,
                         qel::DateTime fallback) {
    const qel::Dataset d = dm.adcCaixa.query(qel::definitions::statement(query));
    if (d.isEmpty()) return fallback;
    if (countTest && d.field("CONT").asInteger() == 0) return fallback;
    return d.field("DTULTATU").asDateTime();
}

}  // namespace

int main(int argc, char** argv) {
    std::string store, station, shop, folder;
    int maxPasses = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--store") {
            store = value();
        } else if (arg == "--station") {
            station = value();
        } else if (arg == "--shop") {
            shop = value();
        } else if (arg == "--folder") {
            folder = value();
        } else if (arg == "--max-passes") {
            maxPasses = std::atoi(value().c_str());
        } else if (arg == "--help") {
            usage();
            return 0;
        } else {
            std::fprintf(stderr, "unknown option %s\n", arg.c_str());
            usage();
            return 2;
        }
    }
    if (store.empty() || station.empty() || maxPasses < 1) {
        usage();
        return 2;
    }

    qel::SystemClock clock;
    auto platform = qel::platform::createPlatform();
    const std::filesystem::path home =
        folder.empty() ? platform->executableFolder() : std::filesystem::path(folder);
    qel::log::RunLog runLog(home, clock);
    qel::agent::TdtmExportaVenda dm({clock, *platform, runLog.sink(), {}, home});
    int passes = 0;
    try {
        dm.run.CDFILIAL = store;
        dm.run.CDCAIXA = station;
        dm.run.CDLOJA = shop;
        dm.setVendasSemStatus(store, station);
        dm.setCorrigeVendasCanc(store, station);
        const qel::DateTime extract = lastUpdate(dm, "adqGetDTULTATUEXT", true, clock.now());
        const qel::DateTime movements = lastUpdate(dm, "adqGetDTULTATUMCli", false, clock.now());
        const qel::Dataset paravend = dm.adcCaixa.query(qel::definitions::statement("adqParaVend"),
                                                        {{"P_CDFILIAL", qel::Variant(store)}});
        const std::string limit =
            paravend.isEmpty() ? std::string() : paravend.field("NRVENDAEXP").asString();
        dm.run.QtdMaxVendasExp = qel::contracts::EmptyString(limit) ? "100" : limit;
        dm.VerificaSenhaConsCentral(store);
        dm.AjustaItVendaImpos();

        if (!dm.ExisteDadosExportar(extract, movements)) {
            std::puts("Nothing to export.");
            return 0;
        }
        const std::string message =
            qel::log::msgPadrao().Msg("Not_Con_Serv") + " (setInsereServidor)";
        if (!dm.net.ConectaServidor(true, message)) {
            std::fprintf(stderr, "Could not connect to the application server; see %s\n",
                         runLog.fileFor(clock.now()).c_str());
            return 1;
        }
        do {
            dm.ExportaDados(extract, movements);
            ++passes;
        } while (passes < maxPasses && dm.ExisteDadosExportar(extract, movements) &&
                 !dm.run.NrSeqVendaIni.empty());
        dm.AjusteDiferencas();
        dm.LimpaBaseDeDados();
        dm.net.ConectaServidor(false, "");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Export failed: %s\n", e.what());
        return 1;
    }
    std::printf("%d transfer(s) done; run log: %s\n", passes, runLog.fileFor(clock.now()).c_str());
    return 0;
}
