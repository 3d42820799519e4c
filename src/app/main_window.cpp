// The main window's life: start-up (FormCreate), the tray icon, the
// "Fechar Programa" path and the self-termination of a station that does
// not export.
#include <exception>
#include <fstream>

#include "app/main_window.h"
#include "core/error.h"

namespace qel::app {

TfrmExportaVenda::TfrmExportaVenda(WindowContext context)
    : timExpCupons(context.clock.monotonicNow()), context_(std::move(context)) {}

TfrmExportaVenda::~TfrmExportaVenda() {
    if (watchdog_) watchdog_->stop();
}

void TfrmExportaVenda::GravaLog(std::string_view message) {
    // A line the run log cannot take (its folder unwritable, its disk full)
    // is lost, and only the line: were the start-up to end here, the agent
    // would run on without its station, its period and its watchdog, and
    // never export until restarted; were a cycle to end here, the station
    // would stay marked as running.
    try {
        context_.runLog.GravaLog(message);
    } catch (const IoError&) {
    }
}

agent::TdtmExportaVenda& TfrmExportaVenda::dataModule() {
    if (!dtmExportaVenda) {
        dtmExportaVenda = std::make_unique<agent::TdtmExportaVenda>(
            agent::DataModuleContext{context_.clock, context_.platform, context_.runLog.sink(),
                                     context_.databaseOptions, context_.executableFolder});
        if (context_.prepareDataModule) context_.prepareDataModule(*dtmExportaVenda);
    }
    return *dtmExportaVenda;
}

void TfrmExportaVenda::startWatchdog() {
    watchdog_ = std::make_unique<onDisparaThreadQelExp>(onDisparaThreadQelExp::Context{
        context_.clock, state, context_.runLog.sink(), context_.executableFolder,
        [this] { startRestartCommand(true); }, context_.watchdogSleep});
    watchdog_->start();
}

void TfrmExportaVenda::removeStaleTrayIcon() {
    try {
        std::ifstream in(context_.runLog.lastHandleFile());
        if (!in) return;
        std::string line, last;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            last = line;
        }
        context_.platform.removeStaleTrayIcon(Variant(last).asInteger());
    } catch (const std::exception&) {
        // A stale icon only looks untidy; nothing to report.
    }
}

void TfrmExportaVenda::installTrayIcon() {
    // Without an icon or a handle file the agent works all the same.
    try {
        context_.platform.installTrayIcon("QelExp", "Fechar Programa",
                                          [this] { exitChosen_ = true; });
    } catch (const std::exception&) {
    }
    try {
        context_.runLog.GravaLastHandle(std::to_string(context_.platform.windowHandle()));
    } catch (const std::exception&) {
    }
}

void TfrmExportaVenda::FormCreate() {
    try {
        GravaLog("FormCreate");
        startWatchdog();
        state.reset(context_.clock.moment());
        dataModule();
        removeStaleTrayIcon();
        installTrayIcon();
        GravaLog("");
        readStationParameters();
        GravaLog("Filial: " + CDFILIAL + " Caixa: " + CDCAIXA + " Loja: " + CDLOJA);
        GravaLog("");

        Variant coletor;
        dataModule().CaixaColetor(CDFILIAL, CDCAIXA, coletor);
        if (!coletor.isEmpty() && coletor.asBoolean()) {
            GravaLog("CAIXA COLETOR NÃO EXPORTA VENDAS.");
            FinalizaProcesso(kExecutable);
            return;
        }
        ListaCaixas = dataModule().CaixasAssociados(CDFILIAL, CDCAIXA);
        if (!ListaCaixas) throw Error("The list of stations to export could not be read");
        if (ListaCaixas->empty()) {
            GravaLog("ESTE CAIXA NÃO EXPORTA VENDAS.");
            FinalizaProcesso(kExecutable);
            return;
        }
        setTimerPeriod();
        timExpCuponsTimer();
    } catch (const std::exception& e) {
        GravaLog(std::string("Exception: ") + e.what());
    }
}

void TfrmExportaVenda::FormDestroy() {
    if (watchdog_) watchdog_->stop();
    try {
        context_.platform.removeTrayIcon();
    } catch (const std::exception&) {
    }
    GravaLog("FormDestroy");
}

void TfrmExportaVenda::pmnuiExitClick() {
    dataModule().QelExpRodando(CDFILIAL, CDCAIXA, false);
    dtmExportaVenda.reset();
}

void TfrmExportaVenda::FinalizaProcesso(std::string_view executableName) {
    try {
        context_.platform.removeTrayIcon();
    } catch (const std::exception&) {
    }
    // In listing order: when this process comes up it ends there.
    for (const platform::ProcessInfo& process : context_.platform.agentProcesses(executableName)) {
        context_.platform.terminateProcess(process.pid);
    }
}

}  // namespace qel::app
