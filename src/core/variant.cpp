#include "core/variant.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/dataset.h"
#include "core/error.h"
#include "core/text.h"

namespace qel {
namespace {

std::string floatToText(double value) {
    char buf[64];
    auto result = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, result.ptr);
}

bool parseInteger(std::string_view s, std::int64_t& out) {
    s = text::trim(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    auto result = std::from_chars(s.data(), s.data() + s.size(), out);
    return result.ec == std::errc() && result.ptr == s.data() + s.size();
}

bool parseFloat(std::string_view s, double& out) {
    s = text::trim(s);
    if (s.empty()) return false;
    std::string copy(s);
    // The stations' locale writes a decimal comma; accept either separator.
    for (char& c : copy) {
        if (c == ',') c = '.';
    }
    if (copy.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
    const char* begin = copy.c_str();
    if (*begin == '+') ++begin;
    auto result = std::from_chars(begin, copy.c_str() + copy.size(), out);
    return result.ec == std::errc() && result.ptr == copy.c_str() + copy.size() &&
           std::isfinite(out);
}

}  // namespace

const char* kindName(VariantKind kind) {
    switch (kind) {
        case VariantKind::Unassigned:
            return "Unassigned";
        case VariantKind::Null:
            return "Null";
        case VariantKind::Boolean:
            return "Boolean";
        case VariantKind::Integer:
            return "Integer";
        case VariantKind::Float:
            return "Float";
        case VariantKind::Decimal:
            return "Decimal";
        case VariantKind::String:
            return "String";
        case VariantKind::DateTime:
            return "DateTime";
        case VariantKind::Blob:
            return "Blob";
        case VariantKind::Array:
            return "Array";
        case VariantKind::Packet:
            return "Packet";
    }
    return "?";
}

void Variant::failConversion(const char* target) const {
    std::string shown;
    if (kind() == VariantKind::String) {
        shown = " '" + *get<std::string>() + "'";
    } else if (kind() == VariantKind::Integer || kind() == VariantKind::Float ||
               kind() == VariantKind::Decimal || kind() == VariantKind::DateTime) {
        shown = " '" + asString() + "'";
    }
    throw ConversionError(std::string("Could not convert variant of type (") + kindName(kind()) +
                          ")" + shown + " into type (" + target + ")");
}

std::string Variant::asString() const {
    switch (kind()) {
        case VariantKind::Unassigned:
        case VariantKind::Null:
            return {};
        case VariantKind::Boolean:
            return *get<bool>() ? "True" : "False";
        case VariantKind::Integer:
            return std::to_string(*get<std::int64_t>());
        case VariantKind::Float:
            return floatToText(*get<double>());
        case VariantKind::Decimal:
            return get<Decimal>()->toString();
        case VariantKind::String:
            return *get<std::string>();
        case VariantKind::DateTime:
            return get<DateTime>()->toText();
        case VariantKind::Blob: {
            const Bytes& b = *get<Bytes>();
            return std::string(b.begin(), b.end());
        }
        default:
            failConversion("String");
    }
}

std::int64_t Variant::asInteger() const {
    switch (kind()) {
        case VariantKind::Boolean:
            return *get<bool>() ? 1 : 0;
        case VariantKind::Integer:
            return *get<std::int64_t>();
        case VariantKind::Float: {
            const double d = *get<double>();
            if (std::trunc(d) == d && std::fabs(d) < 9.2e18) return static_cast<std::int64_t>(d);
            break;
        }
        case VariantKind::Decimal: {
            const Decimal& dec = *get<Decimal>();
            std::int64_t factor = 1;
            for (int i = 0; i < dec.scale; ++i) factor *= 10;
            if (dec.unscaled % factor == 0) return dec.unscaled / factor;
            break;
        }
        case VariantKind::String: {
            std::int64_t out = 0;
            if (parseInteger(*get<std::string>(), out)) return out;
            break;
        }
        default:
            break;
    }
    failConversion("Integer");
}

double Variant::asFloat() const {
    switch (kind()) {
        case VariantKind::Boolean:
            return *get<bool>() ? 1.0 : 0.0;
        case VariantKind::Integer:
            return static_cast<double>(*get<std::int64_t>());
        case VariantKind::Float:
            return *get<double>();
        case VariantKind::Decimal:
            return get<Decimal>()->toDouble();
        case VariantKind::DateTime:
            return get<DateTime>()->value();
        case VariantKind::String: {
            double out = 0;
            if (parseFloat(*get<std::string>(), out)) return out;
            break;
        }
        default:
            break;
    }
    failConversion("Double");
}

Decimal Variant::asDecimal(int scale) const {
    Decimal d;
    switch (kind()) {
        case VariantKind::Decimal:
            d = *get<Decimal>();
            break;
        case VariantKind::Integer:
            d = Decimal{*get<std::int64_t>(), 0};
            break;
        case VariantKind::String:
            d = Decimal::parse(*get<std::string>());
            break;
        default:
            return Decimal::fromDouble(asFloat(), scale);
    }
    // Widen exactly when possible; narrowing rounds to the nearest.
    while (d.scale < scale && std::llabs(d.unscaled) < INT64_MAX / 10) {
        d.unscaled *= 10;
        ++d.scale;
    }
    return d.scale == scale ? d : Decimal::fromDouble(d.toDouble(), scale);
}

DateTime Variant::asDateTime() const {
    switch (kind()) {
        case VariantKind::DateTime:
            return *get<DateTime>();
        case VariantKind::Integer:
            return DateTime(static_cast<double>(*get<std::int64_t>()));
        case VariantKind::Float:
            return DateTime(*get<double>());
        case VariantKind::Decimal:
            return DateTime(get<Decimal>()->toDouble());
        case VariantKind::String:
            return DateTime::parse(*get<std::string>());
        default:
            failConversion("Date");
    }
}

bool Variant::asBoolean() const {
    switch (kind()) {
        case VariantKind::Boolean:
            return *get<bool>();
        case VariantKind::Integer:
            return *get<std::int64_t>() != 0;
        case VariantKind::Float:
            return *get<double>() != 0.0;
        case VariantKind::String: {
            const std::string& s = *get<std::string>();
            if (text::iequals(text::trim(s), "true")) return true;
            if (text::iequals(text::trim(s), "false")) return false;
            std::int64_t n = 0;
            if (parseInteger(s, n)) return n != 0;
            break;
        }
        default:
            break;
    }
    failConversion("Boolean");
}

const VariantArray& Variant::asArray() const {
    if (const auto* a = get<VariantArray>()) return *a;
    failConversion("Array");
}

VariantArray& Variant::asArray() {
    if (auto* a = std::get_if<VariantArray>(&value_)) return *a;
    failConversion("Array");
}

const Dataset& Variant::asPacket() const {
    if (const auto* p = get<std::shared_ptr<const Dataset>>(); p && *p) return **p;
    failConversion("Data packet");
}

std::shared_ptr<const Dataset> Variant::packetPtr() const {
    if (const auto* p = get<std::shared_ptr<const Dataset>>(); p && *p) return *p;
    failConversion("Data packet");
}

const Bytes& Variant::asBytes() const {
    if (const auto* b = get<Bytes>()) return *b;
    failConversion("Bytes");
}

bool operator==(const Variant& a, const Variant& b) {
    if (a.kind() != b.kind()) return false;
    if (a.kind() == VariantKind::Packet) {
        const auto& pa = *a.get<std::shared_ptr<const Dataset>>();
        const auto& pb = *b.get<std::shared_ptr<const Dataset>>();
        if (!pa || !pb) return pa == pb;
        return *pa == *pb;
    }
    return a.value_ == b.value_;
}

}  // namespace qel
