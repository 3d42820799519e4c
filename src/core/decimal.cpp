#include "core/decimal.h"

#include <cmath>
#include <cstdlib>

#include "core/error.h"

namespace qel {
namespace {

constexpr std::int64_t kPow10[] = {1,
                                   10,
                                   100,
                                   1000,
                                   10000,
                                   100000,
                                   1000000,
                                   10000000,
                                   100000000,
                                   1000000000,
                                   10000000000,
                                   100000000000,
                                   1000000000000,
                                   10000000000000,
                                   100000000000000,
                                   1000000000000000,
                                   10000000000000000,
                                   100000000000000000,
                                   1000000000000000000};

void checkScale(int scale) {
    if (scale < 0 || scale > 18) {
        throw ConversionError("Decimal scale out of range: " + std::to_string(scale));
    }
}

}  // namespace

double Decimal::toDouble() const {
    checkScale(scale);
    // Divide rather than multiply by 0.1^n: the quotient is correctly rounded.
    return static_cast<double>(unscaled) / static_cast<double>(kPow10[scale]);
}

std::string Decimal::toString() const {
    checkScale(scale);
    const bool negative = unscaled < 0;
    // Work on the magnitude as unsigned so INT64_MIN does not overflow.
    std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(unscaled) : static_cast<std::uint64_t>(unscaled);
    std::string digits = std::to_string(magnitude);
    if (scale > 0) {
        if (digits.size() <= static_cast<std::size_t>(scale)) {
            digits.insert(0, static_cast<std::size_t>(scale) - digits.size() + 1, '0');
        }
        digits.insert(digits.size() - static_cast<std::size_t>(scale), 1, '.');
    }
    return negative ? "-" + digits : digits;
}

Decimal Decimal::parse(std::string_view text) {
    auto fail = [&]() -> Decimal {
        throw ConversionError("'" + std::string(text) + "' is not a valid decimal number");
    };
    std::size_t pos = 0;
    while (pos < text.size() && text[pos] == ' ') ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
        negative = text[pos] == '-';
        ++pos;
    }
    std::uint64_t value = 0;
    int scale = 0;
    bool seenDigit = false;
    bool seenPoint = false;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c >= '0' && c <= '9') {
            if (value > (static_cast<std::uint64_t>(INT64_MAX) - 9) / 10) return fail();
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
            seenDigit = true;
            if (seenPoint && ++scale > 18) return fail();
        } else if ((c == '.' || c == ',') && !seenPoint) {
            seenPoint = true;
        } else {
            break;
        }
    }
    while (pos < text.size() && text[pos] == ' ') ++pos;
    if (!seenDigit || pos != text.size()) return fail();
    const auto signedValue = static_cast<std::int64_t>(value);
    return Decimal{negative ? -signedValue : signedValue, scale};
}

Decimal Decimal::fromDouble(double value, int scale) {
    checkScale(scale);
    const double scaled = value * static_cast<double>(kPow10[scale]);
    if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2e18) {
        throw ConversionError("Value out of range for a decimal: " + std::to_string(value));
    }
    return Decimal{std::llround(scaled), scale};
}

bool operator==(const Decimal& a, const Decimal& b) {
    // Equal by value: 1.50 equals 1.5.
    if (a.scale == b.scale) return a.unscaled == b.unscaled;
    const Decimal& lo = a.scale < b.scale ? a : b;
    const Decimal& hi = a.scale < b.scale ? b : a;
    const std::int64_t factor = kPow10[hi.scale - lo.scale];
    if (hi.unscaled % factor != 0) return false;
    return hi.unscaled / factor == lo.unscaled;
}

}  // namespace qel
