#pragma once

// Which rows one transfer sent, so that a verdict counts only for a row that
// was in this transfer's packets: an "OK" for any other row (a pending row
// left out of the sales window, a row written after the change check, a
// server that answers for rows it made up) must flag nothing.

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/dataset.h"
#include "core/variant.h"

namespace qel::agent {

class SentRows {
  public:
    // The key values of every sent row that a verdict table answers for,
    // read from the packet array (47 elements) once.
    explicit SentRows(const VariantArray& packets);

    // Removes from `verdicts`, the result dataset at position `result` of
    // the verification answer, every row whose key was not sent in this
    // transfer; returns how many it removed. A verdict table without keys
    // (the counted one) is left as it is.
    std::size_t dropUnsent(std::size_t result, Dataset& verdicts) const;

  private:
    // The type every key column is compared in, fixed by the sent packet.
    enum class Domain { Text, Integer, Real, Time };
    struct Column {
        Domain domain = Domain::Text;
        int form = 0;  // a time truncated to: 0 as is, 1 the day, 2 the second
    };
    struct Table {
        std::vector<Column> columns;  // empty: nothing was sent with these keys
        std::unordered_set<std::string> keys;
    };
    static bool appendKey(const Variant& value, Column column, std::string& key);

    std::vector<Table> tables_;  // by result position
};

}  // namespace qel::agent
