#pragma once

#include <cstddef>
#include <vector>

#include "core/variant.h"

namespace qel::agent {

// A packet array too large for one call (after a long outage the tables
// without a sales window can hold any number of pending rows) travels as
// several arrays of the same shape, each under `maxBytes` encoded: every
// data packet's rows are shared out in order, the two date elements repeat.
// An array that fits comes back as the only part. A single row larger than
// the bound still travels, alone.
std::vector<VariantArray> splitPacketArray(const VariantArray& packets, std::size_t maxBytes);

// The verification answers of the parts as one answer: per result packet,
// the rows of every part's packet in the parts' order, so that each row
// sent still has its verdict at the place the whole array would have given
// it. Throws ServerError when the parts' answers do not have one shape.
Variant joinVerificationAnswers(const std::vector<Variant>& answers);

}  // namespace qel::agent
