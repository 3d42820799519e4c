// The export run of one station: corrections, reference dates, the change
// check, then one transfer per pending movement day and one for all days,
// the post-export actions and the disconnect.
#include "contracts/support_library.h"
#include "definitions/statement.h"
#include "export/data_module.h"
#include "log/messages.h"
#include "selection/catalogue.h"

namespace qel::agent {
namespace {

// Reads one of the two reference dates. An aggregate always returns a row
// on SQL Server; `countTest`: a count of 0 means the table is empty and the
// date is now (an empty MOVICLIE instead gives the NULL maximum, date 0).
DateTime referenceDate(db::Connection& connection, std::string_view query, bool countTest,
                       DateTime now) {
    const Dataset d = connection.query(definitions::statement(query));
    if (d.isEmpty()) return now;
    if (countTest && d.field("CONT").asInteger() == 0) return now;
    return d.field("DTULTATU").asDateTime();
}

std::string movementDay(const Dataset& days) {
    return days.field("DTMOVTURCAIX").asDateTime().format("dd/mm/yyyy");
}

}  // namespace

const char* resultName(RunOutcome::Result result) {
    switch (result) {
        case RunOutcome::Result::NotRun:
            return "not run";
        case RunOutcome::Result::NothingToExport:
            return "nothing to export";
        case RunOutcome::Result::Exported:
            return "exported";
        case RunOutcome::Result::ServerUnreachable:
            return "server unreachable";
        case RunOutcome::Result::Failed:
            return "failed";
    }
    return "unknown";
}

void TdtmExportaVenda::countTransfer(std::int64_t rowsSent, std::int64_t salesSent, bool answered) {
    outcome.rowsSent += rowsSent;
    outcome.salesSent += salesSent;
    if (!answered) return;
    for (std::size_t i = 0; i < ResultDatasets::kCount; ++i) {
        Dataset& verdicts = results.at(i);
        const int situation = verdicts.findField("IDSITUACAO");
        if (situation < 0) continue;
        const std::size_t keep = verdicts.recNo();
        for (verdicts.first(); !verdicts.eof(); verdicts.next()) {
            if (verdicts.field(static_cast<std::size_t>(situation)).asString() == "OK") {
                ++outcome.rowsConfirmed;
            } else {
                ++outcome.rowsRefused;
            }
        }
        verdicts.moveTo(keep);
    }
}

void TdtmExportaVenda::EnviaVendas(const std::string& CDFILIAL, const std::string& CDCAIXA,
                                   const std::string& CDLOJA, int TipoImpFis) {
    outcome = RunOutcome{};
    outcome.started = clock().now();

    GravaLog("");
    GravaLog("****************** INÍCIO DA GRAVAÇÃO DOS DADOS NO SERVIDOR *******************");
    run.CDFILIAL = CDFILIAL;
    run.CDCAIXA = CDCAIXA;
    run.CDLOJA = CDLOJA;
    GravaLog("FILIAL: " + run.CDFILIAL);
    GravaLog("CAIXA: " + run.CDCAIXA);
    GravaLog("LOJA: " + run.CDLOJA);
    GravaLog(std::string(126, '*'));

    try {
        adcCaixa.close();
        adcCaixa.open();

        setVendasSemStatus(run.CDFILIAL, run.CDCAIXA);
        setCorrigeVendasCanc(run.CDFILIAL, run.CDCAIXA);

        const DateTime DtUltAtuExtrato =
            referenceDate(adcCaixa, "adqGetDTULTATUEXT", true, clock().now());
        const DateTime DtUltAtuMoviClie =
            referenceDate(adcCaixa, "adqGetDTULTATUMCli", false, clock().now());

        const Dataset caixa = adcCaixa.query(
            definitions::statement("adqCaixa"),
            {{"P_CDFILIAL", Variant(run.CDFILIAL)}, {"P_CDCAIXA", Variant(run.CDCAIXA)}});
        const std::string IDPRIMVEZEXPON =
            caixa.isEmpty() ? std::string() : caixa.field("IDPRIMVEZEXPON").asString();

        const Dataset paraVend = adcCaixa.query(definitions::statement("adqParaVend"),
                                                {{"P_CDFILIAL", Variant(run.CDFILIAL)}});
        const std::string limit =
            paraVend.isEmpty() ? std::string() : paraVend.field("NRVENDAEXP").asString();
        run.QtdMaxVendasExp = limit.empty() ? "100" : limit;
        GravaLog("QUANTIDADE DE VENDAS MÁXIMA POR EXPORTAÇÃO: " + run.QtdMaxVendasExp);

        if (IDPRIMVEZEXPON == "S") AtualizaMSDE();
        VerificaSenhaConsCentral(run.CDFILIAL);

        if (!adcCaixa.connected()) {
            outcome.result = RunOutcome::Result::Failed;
        } else {
            Dataset qryMovTurCaixa = adcCaixa.query(
                definitions::statement("qryMovTurCaixa"),
                {{"P_CDFILIAL", Variant(run.CDFILIAL)}, {"P_CDCAIXA", Variant(run.CDCAIXA)}});
            qryMovTurCaixa.first();
            run.FiltroDtMovim = qryMovTurCaixa.isEmpty() ? "T" : movementDay(qryMovTurCaixa);
            AjustaItVendaImpos();

            if (!ExisteDadosExportar(DtUltAtuExtrato, DtUltAtuMoviClie)) {
                GravaLog("");
                GravaLog("NÃO EXISTEM DADOS A SEREM EXPORTADOS.");
                outcome.result = RunOutcome::Result::NothingToExport;
            } else {
                GravaLog("");
                GravaLog("EXISTEM DADOS A SEREM EXPORTADOS.");
                const bool connected = net.ConectaServidor(
                    true, log::msgPadrao().Msg("Not_Con_Serv") + " (setInsereServidor)");
                if (!connected) {
                    outcome.result = RunOutcome::Result::ServerUnreachable;
                } else {
                    // One transfer of the packets the last change check built.
                    // Returns false when it failed and the run should stop.
                    auto transfer = [&] {
                        std::int64_t rows = 0;
                        for (const Variant& packet : PacotesExportacao.asArray()) {
                            if (packet.isPacket()) {
                                rows += static_cast<std::int64_t>(packet.asPacket().recordCount());
                            }
                        }
                        const std::int64_t sales = static_cast<std::int64_t>(
                            PacotesExportacao.asArray()[kSalesEntry].asPacket().recordCount());
                        outcome.lastTransferHadSales = sales > 0;
                        const std::size_t errorsBefore = outcome.errors.size();
                        const std::uint64_t answersBefore = answersLoaded;
                        ExportaDados(DtUltAtuExtrato, DtUltAtuMoviClie);
                        ++outcome.transfers;
                        countTransfer(rows, sales, answersLoaded != answersBefore);
                        if (outcome.errors.size() == errorsBefore) return true;
                        ++outcome.failedTransfers;
                        return !stopAtFailedTransfer;
                    };

                    bool stopped = false;
                    if (qryMovTurCaixa.isEmpty()) {
                        stopped = !transfer();
                    } else {
                        // N pending days make N + 1 transfers: each day in
                        // ascending order, then all days.
                        while (!stopped && !qryMovTurCaixa.eof()) {
                            stopped = !transfer();
                            if (stopped) break;
                            qryMovTurCaixa.next();
                            if (!qryMovTurCaixa.eof()) {
                                run.FiltroDtMovim = movementDay(qryMovTurCaixa);
                                ExisteDadosExportar(DtUltAtuExtrato, DtUltAtuMoviClie);
                            } else {
                                run.FiltroDtMovim = "T";
                                ExisteDadosExportar(DtUltAtuExtrato, DtUltAtuMoviClie);
                                stopped = !transfer();
                            }
                        }
                    }
                    outcome.result = RunOutcome::Result::Exported;
                    // A run told to stop at a failed transfer does not claim
                    // success, nor adjust or clean up after it.
                    if (!stopped) finishExport(TipoImpFis);
                }
            }
        }
    } catch (const std::exception& e) {
        const auto& msg = log::msgPadrao();
        GravaLog("ERRO Except EnviaVendas: " + msg.Msg("FILIAL") + run.CDFILIAL + msg.Msg("CAIXA") +
                 run.CDCAIXA + msg.Msg("ERRO") + e.what());
        outcome.result = RunOutcome::Result::Failed;
    }
    net.ConectaServidor(false, "");
    outcome.finished = clock().now();
}

void TdtmExportaVenda::finishExport(int TipoImpFis) {
    GravaLog(std::string(85, '='));
    GravaLog("EXPORTAÇÃO REALIZADA COM SUCESSO");
    GravaLog(std::string(85, '='));
    if (TipoImpFis != 24 && TipoImpFis != 29) AjusteDiferencas();
    LimpaBaseDeDados();
}

}  // namespace qel::agent
