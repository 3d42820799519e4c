// The export run of one station.
#include "export/data_module.h"

namespace qel::agent {

void TdtmExportaVenda::EnviaVendas(const std::string&, const std::string&, const std::string&,
                                   int) {}

}  // namespace qel::agent
