// The strict decoder of values and data packets. It faces hostile input on
// the server: every count and length is checked against the bytes left and
// every allocation is counted against the memory bound before it is made.

#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>

#include "core/dataset.h"
#include "protocol/codec.h"
#include "protocol/utf8.h"
#include "protocol/wire.h"

namespace qel::protocol {
namespace {

using wire::toBig;

// Date-times beyond about 8,000 years either side of 1899 are corrupt data.
constexpr double kMaxDays = 3.0e6;

// For each VariantKind, the field types whose rows may hold it (bit per FieldType).
constexpr unsigned bit(FieldType t) {
    return 1u << static_cast<int>(t);
}
constexpr unsigned kAnyField = 0xFFu;
constexpr unsigned kFieldTypesOfKind[] = {
    kAnyField,                                        // Unassigned
    kAnyField,                                        // Null
    bit(FieldType::Boolean),                          // Boolean
    bit(FieldType::Integer),                          // Integer (Float: converted)
    bit(FieldType::Float),                            // Float
    bit(FieldType::Decimal),                          // Decimal
    bit(FieldType::String),                           // String
    bit(FieldType::DateTime) | bit(FieldType::Date),  // DateTime
    bit(FieldType::Blob),                             // Blob
    0,                                                // Array
    0,                                                // Packet
};
static_assert(std::size(kFieldTypesOfKind) == static_cast<std::size_t>(VariantKind::Packet) + 1);

class Reader {
  public:
    Reader(std::span<const std::uint8_t> data, const DecodeLimits& limits)
        : begin_(data.data()), p_(data.data()), end_(data.data() + data.size()), limits_(limits) {
        if (data.size() > limits.maxBytes) {
            throw ProtocolError("Message of " + std::to_string(data.size()) +
                                " bytes exceeds the limit of " + std::to_string(limits.maxBytes));
        }
    }

    Variant value(std::size_t depth) {
        const std::uint8_t tag = take();
        if (tag <= 0x7F) return Variant(static_cast<std::int64_t>(tag));
        if (tag >= 0xE0) return Variant(static_cast<std::int64_t>(static_cast<std::int8_t>(tag)));
        if ((tag & 0xE0) == 0xA0) return string(tag & 0x1F);
        if ((tag & 0xF0) == 0x90) return array(tag & 0x0F, depth);
        if ((tag & 0xF0) == 0x80) return packet(tag & 0x0F, depth);
        switch (tag) {
            case 0xC0:
                return Variant::null();
            case 0xC2:
                return Variant(false);
            case 0xC3:
                return Variant(true);
            case 0xC4:
                return blob(be<std::uint8_t>());
            case 0xC5:
                return blob(be<std::uint16_t>());
            case 0xC6:
                return blob(be<std::uint32_t>());
            case 0xC7:
                return ext(be<std::uint8_t>());
            case 0xC8:
                return ext(be<std::uint16_t>());
            case 0xC9:
                return ext(be<std::uint32_t>());
            case 0xCA:
                return Variant(static_cast<double>(std::bit_cast<float>(be<std::uint32_t>())));
            case 0xCB:
                return Variant(std::bit_cast<double>(be<std::uint64_t>()));
            case 0xCC:
                return Variant(static_cast<std::int64_t>(be<std::uint8_t>()));
            case 0xCD:
                return Variant(static_cast<std::int64_t>(be<std::uint16_t>()));
            case 0xCE:
                return Variant(static_cast<std::int64_t>(be<std::uint32_t>()));
            case 0xCF: {
                const std::uint64_t u = be<std::uint64_t>();
                if (u > static_cast<std::uint64_t>(INT64_MAX)) fail("integer out of range");
                return Variant(static_cast<std::int64_t>(u));
            }
            case 0xD0:
                return Variant(
                    static_cast<std::int64_t>(static_cast<std::int8_t>(be<std::uint8_t>())));
            case 0xD1:
                return Variant(
                    static_cast<std::int64_t>(static_cast<std::int16_t>(be<std::uint16_t>())));
            case 0xD2:
                return Variant(
                    static_cast<std::int64_t>(static_cast<std::int32_t>(be<std::uint32_t>())));
            case 0xD3:
                return Variant(static_cast<std::int64_t>(be<std::uint64_t>()));
            case 0xD4:
                return ext(1);
            case 0xD5:
                return ext(2);
            case 0xD6:
                return ext(4);
            case 0xD7:
                return ext(8);
            case 0xD8:
                return ext(16);
            case 0xD9:
                return string(be<std::uint8_t>());
            case 0xDA:
                return string(be<std::uint16_t>());
            case 0xDB:
                return string(be<std::uint32_t>());
            case 0xDC:
                return array(be<std::uint16_t>(), depth);
            case 0xDD:
                return array(be<std::uint32_t>(), depth);
            case 0xDE:
                return packet(be<std::uint16_t>(), depth);
            case 0xDF:
                return packet(be<std::uint32_t>(), depth);
            default:
                break;
        }
        --p_;
        fail("unknown type tag 0x" + hex(tag));
    }

    void finish() {
        if (p_ != end_) {
            fail(std::to_string(end_ - p_) + " trailing bytes after the value");
        }
    }

    // Reads an array header and returns its length (for the request frame).
    std::size_t arrayHeader() {
        const std::uint8_t tag = take();
        if ((tag & 0xF0) == 0x90) return tag & 0x0F;
        if (tag == 0xDC) return checkCount(be<std::uint16_t>());
        if (tag == 0xDD) return checkCount(be<std::uint32_t>());
        --p_;
        fail("expected an array");
    }

    // The request frame [version, object, method, [args...]] as value(0)
    // decodes it, in the same order and with the same bounds and charges,
    // except that the last argument is first offered to `last.find`. False
    // when the frame does not start in that form (a 4-element array whose
    // fourth element is a non-empty array): the caller then decodes it all
    // the ordinary way, which reports whatever is wrong with it.
    bool request(VariantArray& parts, LastArgument& last) {
        if (remaining() == 0 || *p_ != 0x94) return false;
        ++p_;
        enter(0);
        checkCount(4);
        charge(4 * sizeof(Variant));
        parts.reserve(4);
        for (int i = 0; i < 3; ++i) parts.push_back(value(1));
        std::size_t n = 0;
        const std::uint8_t tag = remaining() > 0 ? *p_ : 0;
        if ((tag & 0xF0) == 0x90) {
            ++p_;
            n = tag & 0x0F;
        } else if (tag == 0xDC && remaining() >= 3) {
            ++p_;
            n = be<std::uint16_t>();
        } else if (tag == 0xDD && remaining() >= 5) {
            ++p_;
            n = be<std::uint32_t>();
        } else {
            return false;
        }
        if (n == 0) return false;
        enter(1);
        checkCount(n);
        charge(n * sizeof(Variant));
        VariantArray args;
        args.reserve(n);
        for (std::size_t i = 0; i + 1 < n; ++i) args.push_back(value(2));
        const std::uint8_t* start = p_;
        std::optional<DecodedValue> known;
        if (last.find) known = last.find({start, static_cast<std::size_t>(end_ - start)});
        if (known) {
            charge(known->memory);
            p_ = end_;
            args.push_back(std::move(known->value));
            last.reused = true;
        } else {
            const std::size_t before = memory_;
            args.push_back(value(2));
            last.bytes = {start, static_cast<std::size_t>(p_ - start)};
            last.memory = memory_ - before;
        }
        parts.push_back(Variant(std::move(args)));
        return true;
    }

    [[noreturn]] void fail(const std::string& why) const {
        throw ProtocolError("Invalid message at byte " + std::to_string(p_ - begin_) + ": " + why);
    }

  private:
    static std::string hex(std::uint8_t b) {
        const char* digits = "0123456789ABCDEF";
        return {digits[b >> 4], digits[b & 15]};
    }

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

    void need(std::size_t n) const {
        if (remaining() < n) fail("truncated: " + std::to_string(n) + " bytes needed");
    }

    std::uint8_t take() {
        need(1);
        return *p_++;
    }

    template <typename T>
    T be() {
        need(sizeof(T));
        T v;
        std::memcpy(&v, p_, sizeof(T));
        p_ += sizeof(T);
        if constexpr (sizeof(T) == 1) {
            return v;
        } else {
            return toBig(v);
        }
    }

    // Counts memory the decoded value is about to take; refuses it past the bound.
    void charge(std::size_t bytes) {
        memory_ += bytes;
        if (limits_.maxMemory != 0 && memory_ > limits_.maxMemory) {
            throw DecodeTooLarge("The decoded message would take more than " +
                                 std::to_string(limits_.maxMemory) + " bytes of memory");
        }
        if (limits_.onMemory && memory_ >= nextReport_) {
            limits_.onMemory(memory_);
            nextReport_ = memory_ + kMemoryReportStep;
        }
    }

    // Every element takes at least one byte, so a count larger than what is
    // left is a lie; refusing it early stops huge allocations.
    std::size_t checkCount(std::size_t n) const {
        if (n > remaining()) fail("count " + std::to_string(n) + " exceeds the remaining data");
        return n;
    }

    // The next n bytes as checked text, counted against the memory bound.
    std::string_view text(std::size_t n) {
        need(n);
        if (!validUtf8(p_, n, end_)) fail("text is not valid UTF-8");
        if (n > 15) charge(n + 1);  // shorter texts live inside the string object
        const std::string_view s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }

    Variant string(std::size_t n) { return Variant(text(n)); }

    std::string key() {
        const std::uint8_t tag = take();
        std::size_t n;
        if ((tag & 0xE0) == 0xA0) {
            n = tag & 0x1F;
        } else if (tag == 0xD9) {
            n = be<std::uint8_t>();
        } else {
            --p_;
            fail("expected a text key");
        }
        need(n);
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }

    Variant blob(std::size_t n) {
        need(n);
        charge(n);
        Bytes b(p_, p_ + n);
        p_ += n;
        return Variant(std::move(b));
    }

    Variant ext(std::size_t n) {
        const auto type = static_cast<std::int8_t>(take());
        need(n);
        const std::uint8_t* data = p_;
        p_ += n;
        switch (type) {
            case kExtUnassigned:
                if (n != 0) break;
                return Variant();
            case kExtDateTime: {
                if (n != 8) break;
                std::uint64_t u;
                std::memcpy(&u, data, 8);
                const double days = std::bit_cast<double>(toBig(u));
                if (!std::isfinite(days) || std::fabs(days) > kMaxDays) {
                    p_ -= n;
                    fail("date-time out of range");
                }
                return Variant(DateTime(days));
            }
            case kExtDecimal: {
                if (n != 9) break;
                const int scale = static_cast<std::int8_t>(data[0]);
                if (scale < 0 || scale > 18) {
                    p_ -= n;
                    fail("decimal scale " + std::to_string(scale) + " outside 0..18");
                }
                std::uint64_t u;
                std::memcpy(&u, data + 1, 8);
                return Variant(Decimal{static_cast<std::int64_t>(toBig(u)), scale});
            }
            default:
                p_ -= n;
                fail("unknown extension type " + std::to_string(type));
        }
        p_ -= n;
        fail("extension type " + std::to_string(type) + " with " + std::to_string(n) +
             " data bytes");
    }

    void enter(std::size_t depth) const {
        if (depth >= limits_.maxDepth) {
            fail("nesting deeper than " + std::to_string(limits_.maxDepth));
        }
    }

    Variant array(std::size_t n, std::size_t depth) {
        enter(depth);
        checkCount(n);
        charge(n * sizeof(Variant));
        VariantArray a;
        a.reserve(n);
        for (std::size_t i = 0; i < n; ++i) a.push_back(value(depth + 1));
        return Variant(std::move(a));
    }

    std::int64_t smallInt(const char* what) {
        Variant v = value(limits_.maxDepth);  // a number never nests
        const auto* i = v.get<std::int64_t>();
        if (!i || *i < 0 || *i > 1'000'000'000) fail(std::string("invalid ") + what);
        return *i;
    }

    std::vector<FieldDef> fields(std::size_t depth) {
        enter(depth);
        const std::size_t count = arrayHeader();
        checkCount(count);
        charge(sizeof(Dataset) + count * (sizeof(FieldDef) + 16));
        std::vector<FieldDef> out;
        out.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            if (arrayHeader() != 4) fail("a field definition is [name, type, size, scale]");
            FieldDef f;
            const Variant name = value(limits_.maxDepth);
            const std::string* nameText = name.get<std::string>();
            if (!nameText || nameText->empty()) fail("field name must be non-empty text");
            f.name = *nameText;
            const Variant type = value(limits_.maxDepth);
            const std::string* typeText = type.get<std::string>();
            if (!typeText || !wire::fieldTypeFromName(*typeText, f.type)) {
                fail("unknown field type for field " + f.name);
            }
            f.size = static_cast<int>(smallInt("field size"));
            f.scale = static_cast<int>(smallInt("field scale"));
            if (f.scale > 18) fail("field scale above 18 for field " + f.name);
            out.push_back(std::move(f));
        }
        return out;
    }

    // Whether a decoded value may stand in a field of the given type; an
    // integer in a Float field becomes a float (encoders may shorten 2.0 to 2).
    static bool fits(FieldType type, Variant& v) {
        if (kFieldTypesOfKind[static_cast<int>(v.kind())] & (1u << static_cast<int>(type))) {
            return true;
        }
        if (v.kind() == VariantKind::Integer && type == FieldType::Float) {
            v = Variant(static_cast<double>(*v.get<std::int64_t>()));
            return true;
        }
        return false;
    }

    // Decodes the commonest row values straight into the row, without a
    // temporary Variant. Returns false, having consumed nothing, for any
    // other or malformed value: the general path then decodes it or fails
    // with the exact reason.
    bool fastCell(Row& row) {
        const std::size_t left = remaining();
        if (left == 0) return false;
        const std::uint8_t tag = *p_;
        if (tag <= 0x7F) {
            ++p_;
            row.emplace_back(static_cast<std::int64_t>(tag));
            return true;
        }
        if ((tag & 0xE0) == 0xA0) {
            ++p_;
            row.emplace_back(text(tag & 0x1F));
            return true;
        }
        switch (tag) {
            case 0xC0:
                ++p_;
                row.emplace_back(Variant::NullTag{});
                return true;
            case 0xC2:
            case 0xC3:
                ++p_;
                row.emplace_back(tag == 0xC3);
                return true;
            case 0xCB:
                if (left < 9) return false;
                ++p_;
                row.emplace_back(std::bit_cast<double>(be<std::uint64_t>()));
                return true;
            case 0xCC:
                if (left < 2) return false;
                ++p_;
                row.emplace_back(static_cast<std::int64_t>(be<std::uint8_t>()));
                return true;
            case 0xCD:
                if (left < 3) return false;
                ++p_;
                row.emplace_back(static_cast<std::int64_t>(be<std::uint16_t>()));
                return true;
            case 0xCE:
                if (left < 5) return false;
                ++p_;
                row.emplace_back(static_cast<std::int64_t>(be<std::uint32_t>()));
                return true;
            case 0xD7: {  // fixext 8: a date-time in range
                if (left < 10 || static_cast<std::int8_t>(p_[1]) != kExtDateTime) return false;
                std::uint64_t u;
                std::memcpy(&u, p_ + 2, 8);
                const double days = std::bit_cast<double>(toBig(u));
                if (!std::isfinite(days) || std::fabs(days) > kMaxDays) return false;
                p_ += 10;
                row.emplace_back(DateTime(days));
                return true;
            }
            case 0xC7: {  // ext 8: a decimal of valid scale
                if (left < 12 || p_[1] != 9 || static_cast<std::int8_t>(p_[2]) != kExtDecimal) {
                    return false;
                }
                const int scale = static_cast<std::int8_t>(p_[3]);
                if (scale < 0 || scale > 18) return false;
                std::uint64_t u;
                std::memcpy(&u, p_ + 4, 8);
                p_ += 12;
                row.emplace_back(Decimal{static_cast<std::int64_t>(toBig(u)), scale});
                return true;
            }
            case 0xD9: {
                if (left < 2) return false;
                const std::size_t n = p_[1];
                p_ += 2;
                row.emplace_back(text(n));
                return true;
            }
            default:
                return false;
        }
    }

    Variant packet(std::size_t entries, std::size_t depth) {
        enter(depth);
        if (entries != 2) fail("a packet is a map of exactly \"fields\" and \"rows\"");
        if (key() != "fields") fail("a packet starts with \"fields\"");
        auto ds = std::make_shared<Dataset>(fields(depth + 1));
        if (key() != "rows") fail("a packet's second entry is \"rows\"");
        const std::size_t rowCount = arrayHeader();
        checkCount(rowCount);
        charge(rowCount * sizeof(Row));
        const std::vector<FieldDef>& defs = ds->fields();
        std::vector<Row>& rows = ds->rows();
        rows.reserve(rowCount);
        for (std::size_t r = 0; r < rowCount; ++r) {
            const std::size_t n = arrayHeader();
            if (n != defs.size()) {
                fail("row " + std::to_string(r) + " has " + std::to_string(n) + " values for " +
                     std::to_string(defs.size()) + " fields");
            }
            charge(n * sizeof(Variant));
            Row& row = rows.emplace_back();
            row.reserve(n);
            for (std::size_t c = 0; c < n; ++c) {
                if (!fastCell(row)) row.emplace_back(value(depth + 2));
                Variant& v = row.back();
                if (!fits(defs[c].type, v)) {
                    fail("row " + std::to_string(r) + ": field " + defs[c].name + " of type " +
                         fieldTypeName(defs[c].type) + " holds a value of kind " +
                         kindName(v.kind()));
                }
            }
        }
        return Variant(std::shared_ptr<const Dataset>(std::move(ds)));
    }

    const std::uint8_t* begin_;
    const std::uint8_t* p_;
    const std::uint8_t* end_;
    const DecodeLimits& limits_;
    std::size_t memory_ = 0;
    std::size_t nextReport_ = 0;
};

}  // namespace

Variant decode(std::span<const std::uint8_t> data, const DecodeLimits& limits) {
    Reader r(data, limits);
    Variant v = r.value(0);
    r.finish();
    return v;
}

namespace {

Request checkedRequest(Variant frame) {
    if (!frame.isArray() || frame.asArray().size() != 4) {
        throw ProtocolError("A request is the array [version, object, method, arguments]");
    }
    VariantArray& parts = frame.asArray();
    const auto* version = parts[0].get<std::int64_t>();
    if (!version || *version != kProtocolVersion) {
        throw ProtocolError("Unsupported protocol version (this server speaks version " +
                            std::to_string(kProtocolVersion) + ")");
    }
    const auto* object = parts[1].get<std::string>();
    const auto* method = parts[2].get<std::string>();
    if (!object || !method || !parts[3].isArray()) {
        throw ProtocolError("A request is the array [version, object, method, arguments]");
    }
    return Request{*object, *method, std::move(parts[3].asArray())};
}

}  // namespace

Request decodeRequest(std::span<const std::uint8_t> data, const DecodeLimits& limits) {
    return checkedRequest(decode(data, limits));
}

Request decodeRequest(std::span<const std::uint8_t> data, const DecodeLimits& limits,
                      LastArgument& last) {
    {
        Reader r(data, limits);
        VariantArray parts;
        if (r.request(parts, last)) {
            r.finish();
            return checkedRequest(Variant(std::move(parts)));
        }
    }
    return decodeRequest(data, limits);
}

}  // namespace qel::protocol
