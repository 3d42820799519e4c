#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/dataset.h"

namespace qel {

// A lookup of a dataset's rows by some of its fields, built once, for
// routines that would otherwise call Dataset::locate for every row of
// another dataset. It finds the same row locate would: the first whose
// fields equal the values as text without regard to (ASCII) case. The
// dataset must not change while the index is used.
class DatasetIndex {
  public:
    DatasetIndex(const Dataset& dataset, const std::vector<std::string>& fieldNames);

    // Index of the first matching row, or npos.
    std::size_t find(const std::vector<std::string>& values) const;

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  private:
    static void appendKeyPart(std::string& key, std::string_view value);
    std::unordered_map<std::string, std::size_t> firstRow_;
};

}  // namespace qel
