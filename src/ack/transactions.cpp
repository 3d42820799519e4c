// The transaction operations every acknowledgement routine and the cleanup
// use on the station connection.

#include "export/data_module.h"

namespace qel::agent {

void TdtmExportaVenda::IniciaTransacao() {
    if (transactionHook && !adcCaixa.inTransaction()) {
        transactionHook(TransactionStep::BeforeBegin);
    }
    adcCaixa.startTransaction();
}

void TdtmExportaVenda::ConfirmaTransacao() {
    if (!transactionHook || !adcCaixa.inTransaction()) {
        adcCaixa.commitTransaction();
        return;
    }
    transactionHook(TransactionStep::BeforeCommit);
    adcCaixa.commitTransaction();
    transactionHook(TransactionStep::AfterCommit);
}

void TdtmExportaVenda::DesfazTransacao() {
    adcCaixa.rollbackTransaction();
}

}  // namespace qel::agent
