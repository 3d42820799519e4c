#pragma once

// The operator-log rows one transfer sent, found by the keys a verdict names
// them with: station, operation, operator and the time cut to the second.

#include <string>
#include <unordered_map>
#include <vector>

#include "core/dataset.h"
#include "core/datetime.h"
#include "core/variant.h"

namespace qel::agent {

class SentOperatorLogs {
  public:
    // Reads the operator-log packet of the packet array, if there is one.
    explicit SentOperatorLogs(const Variant& packets);

    // The exact times of the sent rows the current verdict row names; none
    // when it names no sent row. Throws ConversionError for a time that is
    // not one.
    const std::vector<DateTime>& times(const Dataset& verdicts) const;

  private:
    static std::string key(const Variant& store, const Variant& station, const Variant& operation,
                           const Variant& operatorCode, const DateTime& time);

    std::unordered_map<std::string, std::vector<DateTime>> byKey_;
};

}  // namespace qel::agent
