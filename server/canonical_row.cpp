#include "canonical_row.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/text.h"
#include "protocol/codec.h"
#include "protocol/writer.h"

namespace qel::server {
namespace {

// Tags of the canonical forms that are not plain MessagePack scalars; each
// travels as [tag, ...] so that it never equals a text or an integer.
constexpr std::int64_t kDecimalTag = 1;   // [1, unscaled, scale], scale 1..18, no trailing zero
constexpr std::int64_t kDateTimeTag = 2;  // [2, milliseconds since the day-count epoch]
constexpr std::int64_t kFloatTag = 3;     // [3, double]: a binary value with no short decimal

void writeDecimal(protocol::Writer& w, std::int64_t unscaled, int scale) {
    while (scale > 0 && unscaled % 10 == 0) {
        unscaled /= 10;
        --scale;
    }
    if (scale == 0) return w.integer(unscaled);
    w.arrayHeader(3);
    w.integer(kDecimalTag);
    w.integer(unscaled);
    w.integer(scale);
}

// A double as the shortest decimal that reads back to it (12.3, not
// 12.300000000000000711), so that it equals the Decimal a station meant.
void writeFloat(protocol::Writer& w, double f) {
    if (std::isfinite(f) && f == std::trunc(f) && std::fabs(f) < 9.2e18) {
        return w.integer(static_cast<std::int64_t>(f));
    }
    // Amounts and quantities mostly have a few decimals: found by scaling,
    // without the shortest-form search below, and the same decimal it gives.
    // m / 10^s is the double nearest to the decimal, so it equals f exactly
    // when that decimal reads back to f; the smallest such scale has the
    // fewest digits; and below 10^9 a double's neighbours are closer than
    // 10^-4, so at each scale at most one m can read back to it.
    if (std::fabs(f) < 1e9) {
        double power = 1;
        for (int scale = 1; scale <= 4; ++scale) {
            power *= 10;
            const double m = std::nearbyint(f * power);
            if (m / power == f) return writeDecimal(w, static_cast<std::int64_t>(m), scale);
        }
    }
    if (std::isfinite(f)) {
        char buffer[64];
        const auto r =
            std::to_chars(buffer, buffer + sizeof buffer, f, std::chars_format::scientific);
        const std::string_view s(buffer, static_cast<std::size_t>(r.ptr - buffer));
        const std::size_t e = s.find('e');
        std::int64_t digits = 0;
        int count = 0;
        for (char c : s.substr(0, e)) {
            if (c >= '0' && c <= '9') {
                digits = digits * 10 + (c - '0');
                ++count;
            }
        }
        int exponent = 0;
        std::from_chars(s.data() + e + (s[e + 1] == '+' ? 2 : 1), s.data() + s.size(), exponent);
        const int scale = (count - 1) - exponent;
        if (count <= 18 && scale > 0 && scale <= 18) {
            return writeDecimal(w, f < 0 ? -digits : digits, scale);
        }
    }
    w.arrayHeader(2);
    w.integer(kFloatTag);
    w.float64(f);
}

// The instant to the millisecond: for negative day counts the fraction's
// absolute value is the time of day.
std::int64_t millisecondsOf(DateTime t) {
    const double days = t.value();
    const double whole = std::trunc(days);
    const auto ms = static_cast<std::int64_t>(
        std::llround(std::fabs(days - whole) * static_cast<double>(kMillisecondsPerDay)));
    return static_cast<std::int64_t>(whole) * kMillisecondsPerDay + ms;
}

std::int64_t fnv1a(const std::vector<std::string>& names) {
    std::uint64_t h = 14695981039346656037ULL;
    for (const std::string& name : names) {
        for (unsigned char c : name) h = (h ^ c) * 1099511628211ULL;
        h = (h ^ 0xFF) * 1099511628211ULL;
    }
    return static_cast<std::int64_t>(h);
}

}  // namespace

void writeCanonical(protocol::Writer& w, const Variant& v) {
    if (v.isEmpty()) return w.nil();
    if (const auto* i = v.get<std::int64_t>()) return w.integer(*i);
    if (const auto* s = v.get<std::string>()) return w.string(*s);
    if (const auto* d = v.get<Decimal>()) return writeDecimal(w, d->unscaled, d->scale);
    if (const auto* f = v.get<double>()) return writeFloat(w, *f);
    if (const auto* t = v.get<DateTime>()) {
        w.arrayHeader(2);
        w.integer(kDateTimeTag);
        return w.integer(millisecondsOf(*t));
    }
    // Booleans and blobs as they are; what is not a column value as it came.
    protocol::writeValue(w, v);
}

void encodeCanonical(const Variant& v, Bytes& out) {
    protocol::Writer w(out);
    writeCanonical(w, v);
}

RowContentCoder::RowContentCoder(const std::vector<FieldDef>& fields) {
    std::vector<std::string> names;
    names.reserve(fields.size());
    for (const FieldDef& f : fields) names.push_back(text::upper(f.name));
    order_.resize(fields.size());
    for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = i;
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
    std::vector<std::string> sorted;
    sorted.reserve(names.size());
    for (std::size_t i : order_) sorted.push_back(names[i]);
    namesHash_ = fnv1a(sorted);
}

void RowContentCoder::encode(const Row& row, Bytes& out) const {
    protocol::Writer w(out);
    w.arrayHeader(order_.size() + 1);
    w.integer(namesHash_);
    for (std::size_t i : order_) writeCanonical(w, row[i]);
}

}  // namespace qel::server
