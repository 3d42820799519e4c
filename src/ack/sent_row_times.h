#pragma once

// The rows of one packet that a transfer sent, found by the keys a verdict
// names them with: some key columns and a time cut to the second. A verdict
// of that form would also name a row written in the same second after the
// selection; flagging each sent row by its exact time leaves that one
// waiting.

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/dataset.h"
#include "core/datetime.h"
#include "core/variant.h"

namespace qel::agent {

class SentRowTimes {
  public:
    // Reads element `element` of the packet array, if it is a packet with
    // every named column. With a `textForm` (a DateTime format), a verdict
    // time given as text must be exactly the sent time in that form;
    // without, any text that reads as a date-time will do.
    SentRowTimes(const Variant& packets, std::size_t element, std::vector<std::string_view> keys,
                 std::string_view time, std::string_view textForm = {});

    // The exact times of the sent rows the current verdict row names; none
    // when it names no sent row. Without a text form, throws
    // ConversionError for a time that is not one.
    const std::vector<DateTime>& times(const Dataset& verdicts) const;

  private:
    std::string key(const std::vector<const Variant*>& keyValues, std::string_view time) const;

    std::vector<std::string_view> keys_;
    std::string_view time_;
    std::string_view textForm_;
    std::string_view secondForm_;  // the time cut to the second, as a key
    std::unordered_map<std::string, std::vector<DateTime>> byKey_;
};

}  // namespace qel::agent
