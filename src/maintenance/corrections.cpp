// Pre-export corrections of local sales and item taxes.
#include "export/data_module.h"

namespace qel::agent {

void TdtmExportaVenda::setVendasSemStatus(const std::string&, const std::string&) {}
void TdtmExportaVenda::setCorrigeVendasCanc(const std::string&, const std::string&) {}
void TdtmExportaVenda::AjustaItVendaImpos() {}

}  // namespace qel::agent
