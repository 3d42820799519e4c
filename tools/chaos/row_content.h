#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.h"
#include "core/variant.h"

namespace qel::chaos {

// The contents of one table's rows as the server stores them (see the
// server's canonical_row.h: [names hash, values by sorted upper-case name]),
// compared without the columns the acknowledgement writes after sending
// (export flags and their like): a row sent, half acknowledged and sent
// again is the same row.
class RowContent {
  public:
    RowContent() = default;  // of a table without columns
    RowContent(const std::vector<FieldDef>& fields,
               const std::vector<std::string_view>& ackColumns);

    // The content without the acknowledgement's columns; equal for two
    // versions of a row that differ in those alone. A content that is none
    // of a row is kept apart from every real one.
    Bytes withoutAck(const Bytes& content) const;

    // The columns, acknowledgement's aside, whose values differ between a
    // station's content and the one held centrally; nullopt when the two
    // are not contents of the same columns.
    std::optional<std::vector<std::string>> differing(const Bytes& station,
                                                      const Bytes& held) const;

  private:
    std::vector<std::string> names_;  // sorted, upper-case: the order of the values
    std::vector<bool> ack_;           // per name: written by the acknowledgement
};

}  // namespace qel::chaos
