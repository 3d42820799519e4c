// Scheduled cleanup of the local database.
#include "export/data_module.h"

namespace qel::agent {

void TdtmExportaVenda::LimpaBaseDeDados() {}
void TdtmExportaVenda::geraLogQuantidadeTabelas() {}

}  // namespace qel::agent
