// The transaction operations every acknowledgement routine and the cleanup
// use on the station connection.

#include "export/data_module.h"

namespace qel::agent {

void TdtmExportaVenda::IniciaTransacao() {
    adcCaixa.startTransaction();
}

void TdtmExportaVenda::ConfirmaTransacao() {
    adcCaixa.commitTransaction();
}

void TdtmExportaVenda::DesfazTransacao() {
    adcCaixa.rollbackTransaction();
}

}  // namespace qel::agent
