// Row counts of the tables the cleanup shrinks, written to the run log
// before and after the deletions.

#include <string>

#include "definitions/statement.h"
#include "export/data_module.h"

namespace qel::agent {

void TdtmExportaVenda::geraLogQuantidadeTabelas() {
    try {
        Dataset counts = adcCaixa.query(definitions::statement("adqQuantidadeTabelas"));
        if (counts.isEmpty()) return;
        const std::string stars(36, '*');
        GravaLog(stars);
        GravaLog("Quantidade de registros nas tabelas");
        for (counts.first(); !counts.eof(); counts.next()) {
            GravaLog(counts.field("NMTABELA").asString() + ": " +
                     counts.field("QTTABELA").asString());
        }
        GravaLog(stars);
    } catch (const std::exception& e) {
        GravaLog(std::string("ERRO Except geraLogQuantidadeTabelas: ") + e.what());
    }
}

}  // namespace qel::agent
