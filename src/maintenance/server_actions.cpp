// Post-export server actions: the difference adjustment per fiscal-file day
// and the loyalty-points update with the local loyalty tool.

#include "contracts/check_result.h"
#include "export/data_module.h"
#include "log/messages.h"

namespace qel::agent {
namespace {

std::string stationErrorLine(std::string_view routine, const RunValues& run, const char* error) {
    const auto& msg = log::msgPadrao();
    return "ERRO Except " + std::string(routine) + ": " + msg.Msg("FILIAL") + run.CDFILIAL +
           msg.Msg("CAIXA") + run.CDCAIXA + msg.Msg("ERRO") + error;
}

}  // namespace

void TdtmExportaVenda::AjusteDiferencas() {
    try {
        GravaLog("");
        net.netAjuste.open();
        Dataset& days = copies.cdsCliArqCat52;
        for (days.first(); !days.eof(); days.next()) {
            const std::string day = days.field("DTMOVCAT52").asString();
            contracts::CheckResultServ(
                net.netAjuste.call("setAjusteDiferencas",
                                   {Variant(run.CDFILIAL), Variant(run.CDCAIXA), Variant(day)}),
                true, 0);
            GravaLog("Executa ajuste de diferenças: " + day);
        }
    } catch (const std::exception& e) {
        GravaLog(stationErrorLine("AjusteDiferencas", run, e.what()));
    }
    net.netAjuste.close();
}

void TdtmExportaVenda::AtualizaPontuacao() {
    try {
        net.netAtualizaPontuacao.open();
        Dataset& loyalty = copies.cdsCliItFidelidade;
        loyalty.first();
        if (!loyalty.eof()) {
            GravaLog("Executa atualização de pontuação no servidor.");
            contracts::CheckResultServ(
                net.netAtualizaPontuacao.call("setAtualizaPontuacao",
                                              {Variant(loyalty.field("CDFILIAL").asString()),
                                               Variant(loyalty.field("CDCAIXA").asString())}),
                true, 0);
            GravaLog("Executa atualização de pontuação na base local.");
            // Started without waiting; whether it starts is not examined.
            platform().startProgram(
                executableFolder() / platform().nativeExecutableName("QelFid.exe"),
                "IMPTABELAS_" + run.CDFILIAL + "_" + run.CDCAIXA + "_" + run.CDLOJA + "_" + "_" +
                    "MANUAL" + "_");
        }
    } catch (const std::exception& e) {
        GravaLog(stationErrorLine("AtualizaPontuacao", run, e.what()));
    }
    net.netAtualizaPontuacao.close();
}

}  // namespace qel::agent
