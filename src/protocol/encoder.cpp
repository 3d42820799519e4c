// The encoder of values and data packets.

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "core/dataset.h"
#include "protocol/codec.h"
#include "protocol/wire.h"

namespace qel::protocol {
namespace {

using wire::kFieldTypeNames;
using wire::toBig;

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

}  // namespace qel::protocol
