#pragma once

#include <string_view>

#include "core/dataset.h"

namespace qel::agent {

// Two result datasets declare their fields in advance (cdsRetMovBeneCtr and
// cdsRetTotalDiaCaixa): a packet loaded into them must carry exactly those
// fields, with the same types and text sizes. Throws ServerError naming the
// first difference; does nothing for the other result datasets.
void requireDeclaredFields(std::string_view resultDataset, const Dataset& packet);

}  // namespace qel::agent
