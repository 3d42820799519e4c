#pragma once

#include <string>

#include "core/variant.h"

namespace qel::testing {

// A packet array of the agent's shape (47 elements, 25 and 26 dates) for
// `sales` sales of one station: per sale its header, ten items, five item
// taxes, one cash movement, one extract row, one NFC-e log row and one
// customer movement, plus a few rows of the station tables, every field type
// included. About 20 rows per sale.
VariantArray samplePacketArray(int sales, const std::string& store = "0001",
                               const std::string& station = "001");

// The same array with one value replaced: row `row` of element `element`,
// field `field`.
VariantArray withValue(const VariantArray& packets, int element, std::size_t row,
                       const std::string& field, Variant value);

}  // namespace qel::testing
