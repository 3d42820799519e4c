#include <cmath>
#include <cstdio>
#include <string>

#include "contracts/support_library.h"

namespace qel::contracts {
namespace {

// Places at which a binary input is read as the decimal it stands for.
constexpr int kReadPlaces = 9;

struct DecimalDigits {
    bool negative = false;
    std::string integerPart;
    std::string fraction;  // kReadPlaces digits
};

DecimalDigits toDigits(double value) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", kReadPlaces, std::fabs(value));
    const std::string s = buf;
    const auto point = s.find('.');
    return {value < 0, s.substr(0, point), s.substr(point + 1)};
}

// The kept digits as a number, raised by one unit in the last place when asked.
double compose(const DecimalDigits& d, int decimals, bool raise) {
    const std::string kept =
        d.integerPart + d.fraction.substr(0, static_cast<std::size_t>(decimals));
    long double magnitude = std::stold(kept);
    if (raise) magnitude += 1;
    // Dividing by an exact power of ten gives the closest double to the decimal.
    const double result =
        static_cast<double>(magnitude / std::pow(10.0L, static_cast<long double>(decimals)));
    if (result == 0.0) return 0.0;
    return d.negative ? -result : result;
}

}  // namespace

double RoundABNT(double value, int decimals) {
    if (!std::isfinite(value) || decimals < 0 || decimals >= kReadPlaces) return value;
    const DecimalDigits d = toDigits(value);
    const auto cut = static_cast<std::size_t>(decimals);
    const int firstDropped = d.fraction[cut] - '0';
    bool raise = false;
    if (firstDropped > 5) {
        raise = true;
    } else if (firstDropped == 5) {
        const bool nonZeroAfter = d.fraction.find_first_not_of('0', cut + 1) != std::string::npos;
        if (nonZeroAfter) {
            raise = true;
        } else {
            const char lastKept = decimals == 0 ? d.integerPart.back() : d.fraction[cut - 1];
            raise = (lastKept - '0') % 2 == 1;
        }
    }
    return compose(d, decimals, raise);
}

double Trunc2(double value) {
    if (!std::isfinite(value)) return value;
    return compose(toDigits(value), 2, false);
}

}  // namespace qel::contracts
