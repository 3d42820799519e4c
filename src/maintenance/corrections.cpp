// Pre-export corrections of local sales: cancelled electronic sales without
// a fiscal status, and SAT sales cancelled locally but accepted by the tax
// authority. No transaction: each statement commits on its own, and the
// selections depend only on the data, so a run cut short is finished by the
// next one.

#include "definitions/statement.h"
#include "export/data_module.h"

namespace qel::agent {
namespace {

const definitions::Statement& stmt(std::string_view name) {
    return definitions::statement(name);
}

}  // namespace

void TdtmExportaVenda::setVendasSemStatus(const std::string& CDFILIAL, const std::string& CDCAIXA) {
    try {
        adcCaixa.execute(stmt("acmUpdVendasSemStatus"),
                         {{"CDFILIAL", Variant(CDFILIAL)}, {"CDCAIXA", Variant(CDCAIXA)}});
        GravaLog("Alterando vendas canceladas sem status para rejeitadas");
    } catch (const std::exception& e) {
        GravaLog(std::string("ERRO Except setVendasSemStatus: ") + e.what());
    }
}

void TdtmExportaVenda::setCorrigeVendasCanc(const std::string& CDFILIAL,
                                            const std::string& CDCAIXA) {
    try {
        Dataset sales =
            adcCaixa.query(stmt("adqVendasCancAceitas"),
                           {{"P_CDFILIAL", Variant(CDFILIAL)}, {"P_CDCAIXA", Variant(CDCAIXA)}});
        if (sales.isEmpty()) return;
        GravaLog("Alterando vendas SAT canceladas no sistema e aceitas na Sefaz para concluídas");
        for (sales.first(); !sales.eof(); sales.next()) {
            const std::string store = sales.field("CDFILIAL").asString();
            const std::string station = sales.field("CDCAIXA").asString();
            const std::string sale = sales.field("NRSEQVENDA").asString();
            const db::Params key{{"CDFILIAL", Variant(store)},
                                 {"CDCAIXA", Variant(station)},
                                 {"NRSEQVENDA", Variant(sale)}};
            adcCaixa.execute(stmt("acmUpdVendaCanc"), key);
            adcCaixa.execute(stmt("acmUpdMovCaixaCanc"), key);
            const Dataset totals =
                adcCaixa.query(stmt("adqVendaCanc"), {{"P_CDFILIAL", Variant(store)},
                                                      {"P_CDCAIXA", Variant(station)},
                                                      {"P_NRSEQVENDA", Variant(sale)}});
            const double difference = totals.isEmpty() ? 0.0 : totals.field("VRDIF").asFloat();
            // The movements worth half the excess of the payments over the
            // sale's total are the change given back: they leave the till.
            if (difference > 0) {
                db::Params exit = key;
                exit.set("VRMOVIVEND", Variant(difference));
                adcCaixa.execute(stmt("acmUpdMovCaixaSaida"), exit);
            }
        }
    } catch (const std::exception& e) {
        GravaLog(std::string("ERRO Except setCorrigeVendasCanc: ") + e.what());
    }
}

}  // namespace qel::agent
