#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.h"
#include "core/variant.h"

namespace qel::protocol {
class Writer;
}

namespace qel::server {

// The canonical bytes of one value: two values that mean the same get the
// same bytes whatever form they travelled in. Numbers compare by value
// (Integer 12, Decimal 12.00 and Float 12.0 are one number; 12.30 is 12.3),
// date-times by the millisecond (a Date and a DateTime of the same instant
// are equal), null and Unassigned are both "no value"; text, booleans and
// blobs compare as they are.
void encodeCanonical(const Variant& value, Bytes& out);
// The same through a writer already open on the buffer.
void writeCanonical(protocol::Writer& w, const Variant& value);

// How the rows of one packet are compared: its columns sorted by upper-case
// name, so that column order and the case of names do not matter, and a
// fingerprint of those names, so that rows with other columns never compare
// equal. Declared sizes and scales are not part of the content.
class RowContentCoder {
  public:
    explicit RowContentCoder(const std::vector<FieldDef>& fields);
    // Appends the content of `row` (a row of that packet) to `out`.
    void encode(const Row& row, Bytes& out) const;

  private:
    std::vector<std::size_t> order_;
    std::int64_t namesHash_ = 0;
};

}  // namespace qel::server
