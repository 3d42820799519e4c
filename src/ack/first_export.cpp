// The first-export marking: rows of shifts already imported whole are
// marked as exported, the pending rows get their own numbers copied, and the
// station is recorded as having exported, all in one transaction.

#include "definitions/statement.h"
#include "export/data_module.h"

namespace qel::agent {

void TdtmExportaVenda::AtualizaMSDE() {
    static constexpr std::string_view kCommands[] = {
        "acmUpdImpTurCaixa",     "acmUpdImpVenda",       "acmUpdImpMovCaixa",
        "acmUpdImpExtratoCons",  "acmUpdNrSeqVendaMsde", "acmUpdNrSequMoviMsde",
        "acmUpdNrPedidoQelMsde", "acmUpdCaixa"};
    try {
        IniciaTransacao();
        const db::Params station{{"P_CDFILIAL", Variant(run.CDFILIAL)},
                                 {"P_CDCAIXA", Variant(run.CDCAIXA)}};
        for (std::string_view name : kCommands) {
            adcCaixa.execute(definitions::statement(name), station);
        }
        ConfirmaTransacao();
    } catch (const std::exception& e) {
        DesfazTransacao();
        GravaLog(std::string("ERRO Except AtualizaMSDE : ") + e.what());
    }
}

}  // namespace qel::agent
