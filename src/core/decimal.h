#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qel {

// An exact fixed-point number: unscaled / 10^scale. Money columns travel as
// decimals so that a value read from the station arrives at the server with
// every cent it had.
struct Decimal {
    std::int64_t unscaled = 0;
    int scale = 0;  // 0..18

    double toDouble() const;
    // "12.30" for {1230, 2}; "-0.05" for {-5, 2}.
    std::string toString() const;
    // Parses "[-]digits[.digits]"; throws ConversionError otherwise.
    static Decimal parse(std::string_view text);
    // The nearest decimal of that scale to a binary value.
    static Decimal fromDouble(double value, int scale);

    friend bool operator==(const Decimal& a, const Decimal& b);
};

}  // namespace qel
