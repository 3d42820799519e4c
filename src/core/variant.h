#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "core/datetime.h"
#include "core/decimal.h"

namespace qel {

class Dataset;
class Variant;

using VariantArray = std::vector<Variant>;
using Bytes = std::vector<std::uint8_t>;

// The kinds of value a Variant holds.
enum class VariantKind {
    Unassigned,  // never set
    Null,        // an explicit SQL/packet null
    Boolean,
    Integer,
    Float,
    Decimal,
    String,
    DateTime,
    Blob,
    Array,   // array of variants
    Packet,  // a data packet: field definitions and rows
};

const char* kindName(VariantKind kind);

// A dynamically typed value, as the server methods, the packet array and the
// dataset fields carry. Conversions follow the stations' platform: they
// succeed when the value has an unambiguous meaning in the target type and
// throw ConversionError with a readable message otherwise.
class Variant {
  public:
    struct UnassignedTag {
        bool operator==(const UnassignedTag&) const = default;
    };
    struct NullTag {
        bool operator==(const NullTag&) const = default;
    };

    Variant() = default;
    Variant(bool value) : value_(value) {}
    Variant(int value) : value_(static_cast<std::int64_t>(value)) {}
    Variant(std::int64_t value) : value_(value) {}
    Variant(double value) : value_(value) {}
    Variant(Decimal value) : value_(value) {}
    Variant(const char* value) : value_(std::in_place_type<std::string>, value) {}
    Variant(std::string value) : value_(std::move(value)) {}
    // Builds the text in place: decoders fill rows with these.
    Variant(std::string_view value) : value_(std::in_place_type<std::string>, value) {}
    Variant(DateTime value) : value_(value) {}
    Variant(Bytes value) : value_(std::move(value)) {}
    Variant(VariantArray value) : value_(std::move(value)) {}
    Variant(std::shared_ptr<const Dataset> packet) : value_(std::move(packet)) {}

    explicit Variant(NullTag) : value_(NullTag{}) {}
    static Variant null() { return Variant(NullTag{}); }
    // An array of `count` unassigned elements.
    static Variant array(std::size_t count) { return Variant(VariantArray(count)); }

    VariantKind kind() const { return static_cast<VariantKind>(value_.index()); }
    bool isUnassigned() const { return kind() == VariantKind::Unassigned; }
    bool isNull() const { return kind() == VariantKind::Null; }
    // Unassigned or null.
    bool isEmpty() const { return isUnassigned() || isNull(); }
    bool isArray() const { return kind() == VariantKind::Array; }
    bool isPacket() const { return kind() == VariantKind::Packet; }

    // Text form: strings as they are; numbers in plain notation with '.' as
    // the decimal separator; date-times as the default date-and-time text;
    // booleans "True"/"False"; unassigned and null as "".
    std::string asString() const;
    // Whole numbers; strings holding an integer; floats and decimals without
    // a fraction; booleans 1/0. Null, fractions and text fail.
    std::int64_t asInteger() const;
    double asFloat() const;
    Decimal asDecimal(int scale) const;
    DateTime asDateTime() const;
    bool asBoolean() const;

    const VariantArray& asArray() const;
    VariantArray& asArray();
    const Dataset& asPacket() const;
    std::shared_ptr<const Dataset> packetPtr() const;
    const Bytes& asBytes() const;

    // Direct access to the stored value (for codecs).
    template <typename T>
    const T* get() const {
        return std::get_if<T>(&value_);
    }

    // Same kind and same value (packets compare by content).
    friend bool operator==(const Variant& a, const Variant& b);

  private:
    [[noreturn]] void failConversion(const char* target) const;

    std::variant<UnassignedTag, NullTag, bool, std::int64_t, double, Decimal, std::string, DateTime,
                 Bytes, VariantArray, std::shared_ptr<const Dataset>>
        value_;
};

}  // namespace qel
