// Statements of the reconciliation of a short day: every sale of one day of
// the station whatever its export flag, and the flag that makes a sale wait
// to be sent again with all its rows.

#include "definitions/statement_builders.h"

namespace qel::definitions::detail {

void addReconciliationStatements(std::vector<Statement>& out) {
    // The sales the transfer's selection would send of that day if they all
    // waited: closed, of this station, past the two-minute age rule.
    out.push_back(query("adqReconVendasDia", {storeParam(), stationParam(), text("P_DTMOVIM")},
                        "SELECT V.*\n"
                        "  FROM VENDA V\n"
                        " WHERE V.CDFILIAL = :P_CDFILIAL\n"
                        "   AND V.CDCAIXA  = :P_CDCAIXA\n"
                        "   AND V.IDSITUVENDA <> 'P'\n"
                        "   AND CONVERT(VARCHAR,V.DTENTRVENDA,103) = :P_DTMOVIM\n"
                        "   AND DATEDIFF(mi,ISNULL(V.DTINSERCAO,V.DTFECHAVENDA),GETDATE()) >= 2\n"
                        "ORDER BY V.DTABERTUR, V.NRSEQVENDA"));
    // "I" sends the sale again with every row tied to it (an "A" would send
    // only its header).
    out.push_back(command("acmReconVendaPendente",
                          {storeParam(), stationParam(), text("P_NRSEQVENDA")},
                          "UPDATE VENDA SET IDIMPVENDA = 'I' WHERE CDFILIAL = :P_CDFILIAL AND "
                          "CDCAIXA = :P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA"));
    // The sale's loyalty rows are selected only while their own flag waits
    // too: without this the sale would go again without them.
    out.push_back(command("acmReconFidelidadePendente",
                          {storeParam(), stationParam(), text("P_NRSEQVENDA")},
                          "UPDATE ITFIDELIDADE SET IDIMPTFIDEL = 'N' WHERE CDFILIAL = :P_CDFILIAL "
                          "AND CDCAIXA = :P_CDCAIXA AND NRSEQVENDA = :P_NRSEQVENDA"));
}

}  // namespace qel::definitions::detail
