#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qel::contracts {

// The "key=value;key=value" pairs of an OLE DB connection string, in order.
// Keys keep their spelling; values may be quoted with ' or ".
using ConnectionStringPairs = std::vector<std::pair<std::string, std::string>>;

ConnectionStringPairs parseConnectionString(std::string_view text);
std::string formatConnectionString(const ConnectionStringPairs& pairs);

// Value of a key compared without regard to case; empty when absent.
std::string connectionStringValue(const ConnectionStringPairs& pairs, std::string_view key);

}  // namespace qel::contracts
