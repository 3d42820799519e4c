#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qel::db {

// A statement with its named parameters replaced by '?' markers, for drivers
// that bind by position.
struct PositionalSql {
    std::string text;
    // The parameter name (without ':') of each marker, in order; a name used
    // several times appears once per use.
    std::vector<std::string> names;
};

// Rewrites ":NAME" parameters (a letter or '_' after the colon, then letters,
// digits and '_') to '?'. Nothing inside string literals ('...'), quoted or
// bracketed identifiers ("...", [...]) or comments (-- and /* */) is touched,
// nor a "::" pair.
PositionalSql toPositional(std::string_view sql);

}  // namespace qel::db
