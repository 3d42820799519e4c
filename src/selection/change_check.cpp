// Change detection: the sales window, the packet array and the answer to
// "is there anything to export?".

#include <optional>

#include "core/error.h"
#include "definitions/statement.h"
#include "export/data_module.h"
#include "selection/catalogue.h"

namespace qel::agent {

void TdtmExportaVenda::CalculaJanelaVendas() {
    run.NrSeqVendaIni.clear();
    run.NrSeqVendaFin.clear();
    // A limit that is not a number fails the check, and with it the run.
    const std::int64_t limit = Variant(run.QtdMaxVendasExp).asInteger();
    Dataset window = adcCaixa.query(definitions::statement("adqRangeVendaExp"),
                                    {{"P_CDFILIAL", Variant(run.CDFILIAL)},
                                     {"P_CDCAIXA", Variant(run.CDCAIXA)},
                                     {"P_DTMOVIM", Variant(run.FiltroDtMovim)},
                                     {"P_NRVENDAEXP", Variant(limit)}});
    if (window.isEmpty()) return;
    window.first();
    run.NrSeqVendaIni = window.field("NRSEQVENDA").asString();
    GravaLog("PRIMEIRA VENDA: " + run.NrSeqVendaIni);
    window.moveTo(window.recordCount() - 1);
    run.NrSeqVendaFin = window.field("NRSEQVENDA").asString();
    GravaLog("ÚLTIMA VENDA: " + run.NrSeqVendaFin);
}

Variant TdtmExportaVenda::EmpacotaDataSet(std::string_view component) {
    return Variant(
        std::shared_ptr<const Dataset>(std::make_shared<Dataset>(openSelection(component))));
}

bool TdtmExportaVenda::ExisteDadosExportar(DateTime DtUltAtuExtrato, DateTime DtUltAtuMoviClie) {
    // The window and every selection read one snapshot of the station, in
    // one read transaction rather than one per statement. Not with the
    // central consumer selection, which attaches the central catalogue (no
    // attaching inside a transaction).
    std::optional<db::ReadSnapshot> snapshot;
    if (!central.isCentral()) snapshot.emplace(adcCaixa);
    CalculaJanelaVendas();
    PacotesExportacao = Variant::array(kExportTableCount);
    VariantArray& packets = PacotesExportacao.asArray();
    for (std::size_t i = 0; i < kExportTableCount; ++i) {
        if (i == kExtractDateEntry) {
            packets[i] = Variant(DtUltAtuExtrato);
        } else if (i == kCustomerMovementDateEntry) {
            packets[i] = Variant(DtUltAtuMoviClie);
        } else {
            const std::string_view component = i == 0 && central.isCentral()
                                                   ? kCentralConsumerSelection
                                                   : TabelasExportacao[i].component;
            packets[i] = EmpacotaDataSet(component);
            cdsTabela = packets[i].packetPtr();
        }
        RegistraTabelaLog(i);
    }
    for (std::size_t i = 0; i < kExportTableCount; ++i) {
        if (i == kExtractDateEntry || i == kCustomerMovementDateEntry) continue;
        if (!packets[i].asPacket().isEmpty()) return true;
    }
    return false;
}

void TdtmExportaVenda::RegistraTabelaLog(std::size_t entry) {
    const std::string table(TabelasExportacao.at(entry).table);
    if (entry == kExtractDateEntry || entry == kCustomerMovementDateEntry) {
        const Variant& date = PacotesExportacao.asArray().at(entry);
        GravaLog("Data da ultima alteração na " + table + ": " + date.asDateTime().toText());
        return;
    }
    if (entry == 0) GravaLog("Data e Hora Atual: " + clock().now().toText());
    GravaLog("Exportação da Tabela " + table + ": " + std::to_string(cdsTabela->recordCount()));
}

}  // namespace qel::agent
