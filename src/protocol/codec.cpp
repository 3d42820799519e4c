#include "protocol/codec.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>

#include "core/dataset.h"

namespace qel::protocol {
namespace {

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

constexpr std::uint16_t toBig(std::uint16_t v) {
    return std::endian::native == std::endian::little ? __builtin_bswap16(v) : v;
}
constexpr std::uint32_t toBig(std::uint32_t v) {
    return std::endian::native == std::endian::little ? __builtin_bswap32(v) : v;
}
constexpr std::uint64_t toBig(std::uint64_t v) {
    return std::endian::native == std::endian::little ? __builtin_bswap64(v) : v;
}

// ---------------------------------------------------------------- encoding

// Appends to a byte vector through a raw pointer: the encoder's hot loop is
// tiny writes. The vector grows geometrically ahead of the writes (one
// zero-fill per growth, not per write) and is cut back to what was written
// by finish() or the destructor.
class Writer {
  public:
    explicit Writer(Bytes& out) : out_(out), used_(out.size()) {}
    ~Writer() { finish(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void byte(std::uint8_t b) {
        std::uint8_t* p = grow(1);
        *p = b;
    }
    template <typename T>
    void tagged(std::uint8_t tag, T bigEndianValue) {
        std::uint8_t* p = grow(1 + sizeof(T));
        p[0] = tag;
        std::memcpy(p + 1, &bigEndianValue, sizeof(T));
    }
    void raw(const void* data, std::size_t size) {
        if (size == 0) return;
        std::memcpy(grow(size), data, size);
    }
    void finish() { out_.resize(used_); }

  private:
    std::uint8_t* grow(std::size_t n) {
        if (out_.size() - used_ < n) out_.resize(std::max(out_.size() * 2, used_ + n + 256));
        std::uint8_t* p = out_.data() + used_;
        used_ += n;
        return p;
    }
    Bytes& out_;
    std::size_t used_;
};

void writeInteger(Writer& w, std::int64_t v) {
    if (v >= 0) {
        if (v < 128) return w.byte(static_cast<std::uint8_t>(v));
        if (v <= 0xFF) return w.tagged(0xCC, static_cast<std::uint8_t>(v));
        if (v <= 0xFFFF) return w.tagged(0xCD, toBig(static_cast<std::uint16_t>(v)));
        if (v <= 0xFFFFFFFFLL) return w.tagged(0xCE, toBig(static_cast<std::uint32_t>(v)));
        return w.tagged(0xCF, toBig(static_cast<std::uint64_t>(v)));
    }
    if (v >= -32) return w.byte(static_cast<std::uint8_t>(static_cast<std::int8_t>(v)));
    if (v >= INT8_MIN)
        return w.tagged(0xD0, static_cast<std::uint8_t>(static_cast<std::int8_t>(v)));
    if (v >= INT16_MIN) {
        return w.tagged(0xD1, toBig(static_cast<std::uint16_t>(static_cast<std::int16_t>(v))));
    }
    if (v >= INT32_MIN) {
        return w.tagged(0xD2, toBig(static_cast<std::uint32_t>(static_cast<std::int32_t>(v))));
    }
    w.tagged(0xD3, toBig(static_cast<std::uint64_t>(v)));
}

// A length prefix: the fix form when the kind has one (fixCount > 0) and n
// fits, else the 8-, 16- or 32-bit form (tag8 0: the kind has no 8-bit form).
void writeLength(Writer& w, std::size_t n, std::uint8_t fixBase, std::size_t fixCount,
                 std::uint8_t tag8, std::uint8_t tag16, std::uint8_t tag32) {
    if (n < fixCount) return w.byte(static_cast<std::uint8_t>(fixBase | n));
    if (tag8 != 0 && n <= 0xFF) return w.tagged(tag8, static_cast<std::uint8_t>(n));
    if (n <= 0xFFFF) return w.tagged(tag16, toBig(static_cast<std::uint16_t>(n)));
    if (n > 0xFFFFFFFFULL) throw ProtocolError("Value too large to encode");
    w.tagged(tag32, toBig(static_cast<std::uint32_t>(n)));
}

void writeString(Writer& w, std::string_view s) {
    writeLength(w, s.size(), 0xA0, 32, 0xD9, 0xDA, 0xDB);
    w.raw(s.data(), s.size());
}

void writeArrayHeader(Writer& w, std::size_t n) {
    writeLength(w, n, 0x90, 16, 0, 0xDC, 0xDD);
}

void writeDouble(Writer& w, double d) {
    w.tagged(0xCB, toBig(std::bit_cast<std::uint64_t>(d)));
}

const char* const kFieldTypeNames[] = {"String", "Integer",  "Float",   "Decimal",
                                       "Date",   "DateTime", "Boolean", "Blob"};

// The value of the kind the caller has just tested for.
template <typename T>
const T& held(const Variant& v) {
    const T* p = v.get<T>();
    if (!p) throw ProtocolError("Variant does not hold the kind it reports");
    return *p;
}

void writeValue(Writer& w, const Variant& v);

void writePacket(Writer& w, const Dataset& ds) {
    w.byte(0x82);  // map of two entries
    writeString(w, "fields");
    writeArrayHeader(w, ds.fields().size());
    for (const FieldDef& f : ds.fields()) {
        w.byte(0x94);
        writeString(w, f.name);
        writeString(w, kFieldTypeNames[static_cast<int>(f.type)]);
        writeInteger(w, f.size);
        writeInteger(w, f.scale);
    }
    writeString(w, "rows");
    writeArrayHeader(w, ds.rows().size());
    for (const Row& row : ds.rows()) {
        writeArrayHeader(w, row.size());
        for (const Variant& v : row) writeValue(w, v);
    }
}

void writeValue(Writer& w, const Variant& v) {
    switch (v.kind()) {
        case VariantKind::Unassigned:
            w.byte(0xC7);
            w.byte(0);
            w.byte(static_cast<std::uint8_t>(kExtUnassigned));
            return;
        case VariantKind::Null:
            return w.byte(0xC0);
        case VariantKind::Boolean:
            return w.byte(held<bool>(v) ? 0xC3 : 0xC2);
        case VariantKind::Integer:
            return writeInteger(w, held<std::int64_t>(v));
        case VariantKind::Float:
            return writeDouble(w, held<double>(v));
        case VariantKind::Decimal: {
            const Decimal& d = held<Decimal>(v);
            std::uint8_t head[4] = {0xC7, 9, static_cast<std::uint8_t>(kExtDecimal),
                                    static_cast<std::uint8_t>(d.scale)};
            w.raw(head, sizeof head);
            const std::uint64_t u = toBig(static_cast<std::uint64_t>(d.unscaled));
            return w.raw(&u, sizeof u);
        }
        case VariantKind::String:
            return writeString(w, held<std::string>(v));
        case VariantKind::DateTime: {
            std::uint8_t head[2] = {0xD7, static_cast<std::uint8_t>(kExtDateTime)};
            w.raw(head, sizeof head);
            const std::uint64_t u = toBig(std::bit_cast<std::uint64_t>(held<DateTime>(v).value()));
            return w.raw(&u, sizeof u);
        }
        case VariantKind::Blob: {
            const Bytes& b = held<Bytes>(v);
            writeLength(w, b.size(), 0, 0, 0xC4, 0xC5, 0xC6);
            return w.raw(b.data(), b.size());
        }
        case VariantKind::Array: {
            const VariantArray& a = held<VariantArray>(v);
            writeArrayHeader(w, a.size());
            for (const Variant& e : a) writeValue(w, e);
            return;
        }
        case VariantKind::Packet: {
            const auto& p = held<std::shared_ptr<const Dataset>>(v);
            if (!p) throw ProtocolError("Cannot encode an empty packet reference");
            return writePacket(w, *p);
        }
    }
}

// ---------------------------------------------------------------- decoding

bool validUtf8(const std::uint8_t* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        // Fast path over plain ASCII, eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t chunk;
            std::memcpy(&chunk, s + i, 8);
            if (chunk & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        const std::uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

bool fieldTypeFromName(std::string_view name, FieldType& out) {
    for (int i = 0; i < 8; ++i) {
        if (name == kFieldTypeNames[i]) {
            out = static_cast<FieldType>(i);
            return true;
        }
    }
    return false;
}

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

    Variant string(std::size_t n) {
        need(n);
        if (!validUtf8(p_, n)) fail("text is not valid UTF-8");
        if (n > 15) charge(n + 1);  // shorter texts live inside the string object
        const std::string_view s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return Variant(s);
    }

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
                if (!std::isfinite(days) || std::fabs(days) > 3.0e6) {
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
            if (!typeText || !fieldTypeFromName(*typeText, f.type)) {
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
        switch (v.kind()) {
            case VariantKind::Unassigned:
            case VariantKind::Null:
                return true;
            case VariantKind::String:
                return type == FieldType::String;
            case VariantKind::Integer:
                if (type == FieldType::Float) {
                    v = Variant(static_cast<double>(*v.get<std::int64_t>()));
                    return true;
                }
                return type == FieldType::Integer;
            case VariantKind::Float:
                return type == FieldType::Float;
            case VariantKind::Decimal:
                return type == FieldType::Decimal;
            case VariantKind::DateTime:
                return type == FieldType::DateTime || type == FieldType::Date;
            case VariantKind::Boolean:
                return type == FieldType::Boolean;
            case VariantKind::Blob:
                return type == FieldType::Blob;
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
                Variant& v = row.emplace_back(value(depth + 2));
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

void encodeTo(const Variant& value, Bytes& out) {
    Writer w(out);
    writeValue(w, value);
}

void encodeArrayHeaderTo(std::size_t count, Bytes& out) {
    Writer w(out);
    writeArrayHeader(w, count);
}

Bytes encode(const Variant& value) {
    Bytes out;
    out.reserve(256);
    encodeTo(value, out);
    return out;
}

Variant decode(std::span<const std::uint8_t> data, const DecodeLimits& limits) {
    Reader r(data, limits);
    Variant v = r.value(0);
    r.finish();
    return v;
}

Bytes encodeRequest(std::string_view object, std::string_view method, const VariantArray& args) {
    Bytes out;
    out.reserve(256);
    Writer w(out);
    w.byte(0x94);
    writeInteger(w, kProtocolVersion);
    writeString(w, object);
    writeString(w, method);
    writeArrayHeader(w, args.size());
    for (const Variant& a : args) writeValue(w, a);
    w.finish();
    return out;
}

Request decodeRequest(std::span<const std::uint8_t> data, const DecodeLimits& limits) {
    Variant frame = decode(data, limits);
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

}  // namespace qel::protocol
