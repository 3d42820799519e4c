// The export cycle: who exports, the running flag, one export run per
// station of the list, the cycle count and the restarts.
#include <exception>

#include "app/main_window.h"
#include "core/error.h"
#include "export/day_reconciliation.h"

namespace qel::app {

void TfrmExportaVenda::setTimerPeriod() {
    if (context_.timerPeriod) {
        const auto interval = std::chrono::milliseconds(*context_.timerPeriod);
        timExpCupons.setInterval(interval, context_.clock.monotonicNow());
        GravaLog("Intervalo do timer: " + std::to_string(interval.count()) +
                 ", QELEXP_TIMER_SECONDS=" + std::to_string(context_.timerPeriod->count()) +
                 " segundos (laboratório).");
        return;
    }
    agent::TdtmExportaVenda& dm = dataModule();
    std::string minutes;
    dm.VerificaTempo(CDFILIAL, minutes);
    const std::int64_t n = Variant(minutes).asInteger();
    if (n < 0) throw ConversionError("'" + minutes + "' is not a valid timer period in minutes");
    const std::int64_t interval = n * 60 * 1000;
    timExpCupons.setInterval(std::chrono::milliseconds(interval), context_.clock.monotonicNow());
    std::string again;
    dm.VerificaTempo(CDFILIAL, again);
    GravaLog("Intervalo do timer: " + std::to_string(interval) + ", " + again + " minutos.");
}

void TfrmExportaVenda::timExpCuponsTimer() {
    GravaLog("Chama BuscaVendas");
    BuscaVendas();
}

void TfrmExportaVenda::startRestartCommand(bool watchdogVariant) {
    // A command that cannot be started goes unnoticed: the agent runs on.
    context_.platform.startRestartCommand(context_.executableFolder, kExecutable, watchdogVariant);
}

void TfrmExportaVenda::BuscaVendas() {
    agent::TdtmExportaVenda& dm = dataModule();
    std::string tipo = "F";
    dm.GetTipoExportacao(tipo);
    try {
        if (tipo == "F") {
            dm.QelExpRodando(CDFILIAL, CDCAIXA, true);
            if (!ListaCaixas) throw Error("The list of stations to export is not set");
            for (const std::string& station : *ListaCaixas) {
                state.setUltimaAtividade(context_.clock.moment());
                dm.EnviaVendas(CDFILIAL, station, CDLOJA, TipoImpFis);
                if (state.reiniciarAgora()) break;
                agent::reconcileAfterRun(dm, CDFILIAL, station);
            }
            GravaLog("Exportação realizada pelo QelExp");
        }
        if (tipo == "S") GravaLog("Exportação realizada pelo Serviço QelSync");
    } catch (const std::exception& e) {
        GravaLog(std::string("ERRO Except BuscaVendas: ") + e.what());
    }
    if (tipo != "F") return;
    state.setUltimaAtividade(context_.clock.moment());
    dm.QelExpRodando(CDFILIAL, CDCAIXA, false);
    if (++state.QtdExecucoes > 100) {
        GravaLog("Reinicia após 100 execuções");
        startRestartCommand(false);
    }
    if (state.reiniciarAgora()) {
        GravaLog("Reinicia devido ao tempo limite de execução.");
        startRestartCommand(false);
    }
}

}  // namespace qel::app
