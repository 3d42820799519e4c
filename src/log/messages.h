#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qel::log {

// A keyed message table: lines "key|text"; `Msg` returns the text of a key.
class TMessages {
  public:
    explicit TMessages(std::vector<std::string> messages) : Messages(std::move(messages)) {}

    // The text after the first '|' of the line whose key matches (case
    // matters); an empty text for an unknown key.
    std::string Msg(std::string_view key) const;

    std::vector<std::string> Messages;
};

// The data module's message table `msgPadrao` (texts in UTF-8).
const TMessages& msgPadrao();

}  // namespace qel::log
