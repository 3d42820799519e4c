// The acknowledgement routines that all work alike: for every row the server
// stored, the row's keys go into the table's flag command, the command runs
// and one line names it in the run log. The whole table is one transaction.
// Also the sequence in which the transfer runs all 22 routines.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "ack/acknowledgement.h"
#include "ack/sent_row_times.h"
#include "definitions/statement.h"
#include "export/data_module.h"
#include "selection/catalogue.h"

namespace qel::agent {
namespace {

struct TableRule {
    std::string_view routine;
    Dataset ResultDatasets::*results;
    std::string_view command;  // also named in the run-log line
};

// clang-format off
constexpr TableRule kOperador{"AtualizaMSDEOperador", &ResultDatasets::cdsRetOperador, "acmUpdOperador"};
constexpr TableRule kLogAcesso{"AtualizaMSDELogAcesso", &ResultDatasets::cdsRetLogAcesso, "acmUpdLogAcesso"};
constexpr TableRule kControlSenha{"AtualizaMSDEControlSenha", &ResultDatasets::cdsRetControlSenha, "acmUpdControlSenha"};
constexpr TableRule kInutilizaNfce{"AtualizaMSDEInutilizaNfce", &ResultDatasets::cdsRetInutilizaNfce, "acmUpdInutilizaNfce"};
constexpr TableRule kArqCat52{"AtualizaMSDEArqCat52", &ResultDatasets::cdsRetArqCat52, "acmUpdArqCat52"};
constexpr TableRule kReducaoZ{"AtualizaMSDEReducaoZ", &ResultDatasets::cdsRetReducaoZ, "acmUpdRedZ"};
constexpr TableRule kMovCaixa{"AtualizaMSDEMovCaixa", &ResultDatasets::cdsRetMovCaixa, "acmUpdMovCaixa"};
constexpr TableRule kExtratoCons{"AtualizaMSDEExtratoCons", &ResultDatasets::cdsRetExtratoCons, "acmUpdExtratoCons"};
constexpr TableRule kEstornoVnd{"AtualizaMSDEEstornoVnd", &ResultDatasets::cdsRetEstornoVnd, "acmUpdEstornoVnd"};
constexpr TableRule kMovBeneCtr{"AtualizaMSDEMovBeneCtr", &ResultDatasets::cdsRetMovBeneCtr, "acmUpdMovBeneficioCtr"};
constexpr TableRule kLogSincDlv{"AtualizaMSDELogSincDlv", &ResultDatasets::cdsRetLogSincDlv, "acmUpdLogSincDlv"};
constexpr TableRule kTotalDiaCaixa{"AtualizaMSDETotalDiaCaixa", &ResultDatasets::cdsRetTotalDiaCaixa, "acmUpdTotalDiaCaixa"};
constexpr TableRule kEndeCons{"AtualizaMSDEEndeCons", &ResultDatasets::cdsRetEndeCons, "acmUpdEndeCons"};
constexpr TableRule kLogNfce{"AtualizaMSDELogNfce", &ResultDatasets::cdsRetLogNfce, "acmUpdLogNfce"};
constexpr TableRule kCmdLog{"AtualizaMSDECmdLog", &ResultDatasets::cdsRetCmdLog, "acmUpdCmdLog"};
constexpr TableRule kItCmdLog{"AtualizaMSDEItCmdLog", &ResultDatasets::cdsRetItCmdLog, "acmUpdItCmdLog"};
// clang-format on

void acknowledge(TdtmExportaVenda& dm, const TableRule& rule) {
    // Rows flagged with their sales, committed, are flagged already: running
    // the command again would only repeat the same update.
    const auto& done = dm.flaggedWithSales;
    const bool flagged = std::find(done.begin(), done.end(), rule.command) != done.end();
    runAcknowledgement(dm, rule.routine, [&dm, &rule, flagged] {
        const definitions::Statement& command = definitions::statement(rule.command);
        Dataset& results = dm.results.*rule.results;
        const std::string line = "Execute do " + std::string(rule.command);
        std::size_t stored = 0;
        const bool together = !flagged && runTogether(dm, [&] {
            std::vector<db::Params> rows;
            forEachOkRow(results, [&] { rows.push_back(paramsFromRow(command, results)); });
            dm.adcCaixa.executeBatch(command, rows);
            stored = rows.size();
        });
        if (flagged) forEachOkRow(results, [&] { ++stored; });
        if (flagged || together) {
            for (std::size_t i = 0; i < stored; ++i) dm.GravaLog(line);
            return;
        }
        forEachOkRow(results, [&] {
            dm.adcCaixa.execute(command, paramsFromRow(command, results));
            dm.GravaLog(line);
        });
    });
}

// For verdicts that name a row by its time cut to the second: each "OK"
// flags the rows of this transfer's own packet it names, each by its exact
// time. A row of the same keys written in the same second after the
// selection was never sent; flagged, it would be deleted by the cleanup
// before the server had it.
void acknowledgeSentTimes(TdtmExportaVenda& dm, const TableRule& rule,
                          std::string_view exactCommand, std::size_t element,
                          std::vector<std::string_view> keys, std::string_view time,
                          std::string_view textForm) {
    runAcknowledgement(dm, rule.routine, [&] {
        const definitions::Statement& command = definitions::statement(exactCommand);
        const SentRowTimes sent(dm.PacotesExportacao, element, std::move(keys), time, textForm);
        const std::string timeParam = "P_" + std::string(time);
        Dataset& results = dm.results.*rule.results;
        forEachOkRow(results, [&] {
            for (const DateTime& exact : sent.times(results)) {
                dm.adcCaixa.execute(command,
                                    paramsFromRow(command, results, {{timeParam, Variant(exact)}}));
            }
            dm.GravaLog("Execute do " + std::string(rule.command));
        });
    });
}

}  // namespace

std::vector<std::string_view> flagSaleDependants(TdtmExportaVenda& dm) {
    std::vector<std::string_view> flagged;
    for (const TableRule* rule : {&kMovCaixa, &kExtratoCons, &kLogNfce}) {
        try {
            const definitions::Statement& command = definitions::statement(rule->command);
            Dataset& results = dm.results.*rule->results;
            std::vector<db::Params> rows;
            forEachOkRow(results, [&] { rows.push_back(paramsFromRow(command, results)); });
            dm.adcCaixa.executeBatch(command, rows);
            flagged.push_back(rule->command);
        } catch (const std::exception&) {
        }
    }
    return flagged;
}

void TdtmExportaVenda::AtualizaMSDEOperador() {
    acknowledge(*this, kOperador);
}
void TdtmExportaVenda::AtualizaMSDELogAcesso() {
    acknowledge(*this, kLogAcesso);
}
void TdtmExportaVenda::AtualizaMSDEControlSenha() {
    acknowledge(*this, kControlSenha);
}
void TdtmExportaVenda::AtualizaMSDEInutilizaNfce() {
    acknowledge(*this, kInutilizaNfce);
}
void TdtmExportaVenda::AtualizaMSDEArqCat52() {
    acknowledge(*this, kArqCat52);
}
void TdtmExportaVenda::AtualizaMSDEReducaoZ() {
    acknowledge(*this, kReducaoZ);
}
void TdtmExportaVenda::AtualizaMSDEMovCaixa() {
    acknowledge(*this, kMovCaixa);
}
void TdtmExportaVenda::AtualizaMSDEExtratoCons() {
    acknowledge(*this, kExtratoCons);
}
void TdtmExportaVenda::AtualizaMSDEEstornoVnd() {
    acknowledge(*this, kEstornoVnd);
}
// The quantity key is a float compared for equality; the flag goes back to
// "N" (the selection looks for "I").
void TdtmExportaVenda::AtualizaMSDEMovBeneCtr() {
    acknowledge(*this, kMovBeneCtr);
}
void TdtmExportaVenda::AtualizaMSDELogSincDlv() {
    acknowledge(*this, kLogSincDlv);
}
// DTTOTAL is bound as a date without time of day.
void TdtmExportaVenda::AtualizaMSDETotalDiaCaixa() {
    acknowledge(*this, kTotalDiaCaixa);
}
void TdtmExportaVenda::AtualizaMSDEEndeCons() {
    acknowledge(*this, kEndeCons);
}
void TdtmExportaVenda::AtualizaMSDELogNfce() {
    acknowledge(*this, kLogNfce);
}
// The command logs' time keys travel as "DD/MM/YYYY HH:MM:SS" text, without
// milliseconds; a text of another form names no row.
constexpr std::string_view kCommandLogTimeText = "dd/mm/yyyy hh:nn:ss";

void TdtmExportaVenda::AtualizaMSDECmdLog() {
    acknowledgeSentTimes(*this, kCmdLog, "acmUpdCmdLogExato", kCommandLogEntry,
                         {"CDFILIAL", "NRVENDAREST", "NRCOMANDA"}, "DTHRREGISTRO",
                         kCommandLogTimeText);
}
void TdtmExportaVenda::AtualizaMSDEItCmdLog() {
    acknowledgeSentTimes(*this, kItCmdLog, "acmUpdItCmdLogExato", kCommandItemLogEntry,
                         {"CDFILIAL", "NRVENDAREST", "NRCOMANDA", "NRPRODCOMVEN"}, "DTHRINCOMVEN",
                         kCommandLogTimeText);
}

void TdtmExportaVenda::AtualizaMSDEResultados() {
    using Routine = void (TdtmExportaVenda::*)();
    static constexpr Routine kInTransferOrder[ResultDatasets::kCount] = {
        &TdtmExportaVenda::AtualizaMSDEConsumidor,    &TdtmExportaVenda::AtualizaMSDEOperador,
        &TdtmExportaVenda::AtualizaMSDELogOperQel,    &TdtmExportaVenda::AtualizaMSDELogAcesso,
        &TdtmExportaVenda::AtualizaMSDEControlSenha,  &TdtmExportaVenda::AtualizaMSDEInutilizaNfce,
        &TdtmExportaVenda::AtualizaMSDEPedidoQel,     &TdtmExportaVenda::AtualizaMSDEArqCat52,
        &TdtmExportaVenda::AtualizaMSDEReducaoZ,      &TdtmExportaVenda::AtualizaMSDETurCaixa,
        &TdtmExportaVenda::AtualizaMSDEVenda,         &TdtmExportaVenda::AtualizaMSDEMovCaixa,
        &TdtmExportaVenda::AtualizaMSDEExtratoCons,   &TdtmExportaVenda::AtualizaMSDEEstornoVnd,
        &TdtmExportaVenda::AtualizaMSDEMovBeneCtr,    &TdtmExportaVenda::AtualizaMSDELogSincDlv,
        &TdtmExportaVenda::AtualizaMSDETotalDiaCaixa, &TdtmExportaVenda::AtualizaMSDEProdBloqVndTaa,
        &TdtmExportaVenda::AtualizaMSDEEndeCons,      &TdtmExportaVenda::AtualizaMSDELogNfce,
        &TdtmExportaVenda::AtualizaMSDECmdLog,        &TdtmExportaVenda::AtualizaMSDEItCmdLog};
    flaggedWithSales.clear();
    for (Routine routine : kInTransferOrder) (this->*routine)();
    flaggedWithSales.clear();
}

}  // namespace qel::agent
