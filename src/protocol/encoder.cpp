// The encoder of values and data packets.

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "core/dataset.h"
#include "protocol/codec.h"
#include "protocol/wire.h"
#include "protocol/writer.h"

namespace qel::protocol {
namespace {

using wire::kFieldTypeNames;
using wire::toBig;

// The value of the kind the caller has just tested for.
template <typename T>
const T& held(const Variant& v) {
    const T* p = v.get<T>();
    if (!p) throw ProtocolError("Variant does not hold the kind it reports");
    return *p;
}

void writePacket(Writer& w, const Dataset& ds) {
    w.byte(0x82);  // map of two entries
    w.string("fields");
    w.arrayHeader(ds.fields().size());
    for (const FieldDef& f : ds.fields()) {
        w.byte(0x94);
        w.string(f.name);
        w.string(kFieldTypeNames[static_cast<int>(f.type)]);
        w.integer(f.size);
        w.integer(f.scale);
    }
    w.string("rows");
    w.arrayHeader(ds.rows().size());
    for (const Row& row : ds.rows()) {
        w.arrayHeader(row.size());
        for (const Variant& v : row) writeValue(w, v);
    }
}

}  // namespace

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
            return w.integer(held<std::int64_t>(v));
        case VariantKind::Float:
            return w.float64(held<double>(v));
        case VariantKind::Decimal: {
            const Decimal& d = held<Decimal>(v);
            std::uint8_t head[4] = {0xC7, 9, static_cast<std::uint8_t>(kExtDecimal),
                                    static_cast<std::uint8_t>(d.scale)};
            w.raw(head, sizeof head);
            const std::uint64_t u = toBig(static_cast<std::uint64_t>(d.unscaled));
            return w.raw(&u, sizeof u);
        }
        case VariantKind::String:
            return w.string(held<std::string>(v));
        case VariantKind::DateTime: {
            std::uint8_t head[2] = {0xD7, static_cast<std::uint8_t>(kExtDateTime)};
            w.raw(head, sizeof head);
            const std::uint64_t u = toBig(std::bit_cast<std::uint64_t>(held<DateTime>(v).value()));
            return w.raw(&u, sizeof u);
        }
        case VariantKind::Blob: {
            const Bytes& b = held<Bytes>(v);
            w.length(b.size(), 0, 0, 0xC4, 0xC5, 0xC6);
            return w.raw(b.data(), b.size());
        }
        case VariantKind::Array: {
            const VariantArray& a = held<VariantArray>(v);
            w.arrayHeader(a.size());
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

void encodeTo(const Variant& value, Bytes& out) {
    Writer w(out);
    writeValue(w, value);
}

void encodeArrayHeaderTo(std::size_t count, Bytes& out) {
    Writer w(out);
    w.arrayHeader(count);
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
    w.integer(kProtocolVersion);
    w.string(object);
    w.string(method);
    w.arrayHeader(args.size());
    for (const Variant& a : args) writeValue(w, a);
    w.finish();
    return out;
}

}  // namespace qel::protocol
