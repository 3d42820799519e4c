// What role the station plays: shop, collector, stations it exports for.
#include "export/data_module.h"

namespace qel::agent {

void TdtmExportaVenda::GetLoja(const std::string&, const std::string&, std::string&) {}
void TdtmExportaVenda::CaixaColetor(const std::string&, const std::string&, Variant&) {}
void TdtmExportaVenda::EstaAssociado(const std::string&, const std::string&, Variant&) {}
std::optional<std::vector<std::string>> TdtmExportaVenda::CaixasAssociados(const std::string&,
                                                                           const std::string&) {
    return std::nullopt;
}

}  // namespace qel::agent
