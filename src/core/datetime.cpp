#include "core/datetime.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "core/calendar.h"
#include "core/error.h"

namespace qel {
namespace {

// A literal, not a call: DateTime constants of other files are built before
// this file's dynamic initialisers run. -25569 = daysFromCivil(1899, 12, 30).
constexpr std::int64_t kEpochDays = -25569;

bool isLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

void validate(const DateTimeParts& p) {
    if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
        p.day > daysInMonth(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
        p.minute > 59 || p.second < 0 || p.second > 59 || p.millisecond < 0 ||
        p.millisecond > 999) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "Invalid date or time: %04d-%02d-%02d %02d:%02d:%02d.%03d",
                      p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond);
        throw ConversionError(buf);
    }
}

// Reads a run of digits at text[pos], advancing pos; -1 when there is none.
int readNumber(std::string_view text, std::size_t& pos, std::size_t minDigits,
               std::size_t maxDigits) {
    std::size_t start = pos;
    int value = 0;
    while (pos < text.size() && pos - start < maxDigits && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    return pos - start < minDigits ? -1 : value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

}  // namespace

void appendDigits(std::string& out, int v, int width) {
    if (v < 0 || v >= (width == 2 ? 100 : width == 3 ? 1000 : 10000)) {
        char wide[16];  // a year outside 0..9999 keeps all its digits and sign
        std::snprintf(wide, sizeof wide, "%0*d", width, v);
        out += wide;
        return;
    }
    char buf[4];
    for (int i = width - 1; i >= 0; --i) {
        buf[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    out.append(buf, static_cast<std::size_t>(width));
}

DateTime DateTime::fromParts(const DateTimeParts& p) {
    validate(p);
    const auto days =
        static_cast<double>(calendar::daysFromCivil(p.year, static_cast<unsigned>(p.month),
                                                    static_cast<unsigned>(p.day)) -
                            kEpochDays);
    const double time =
        static_cast<double>(((p.hour * 60 + p.minute) * 60 + p.second) * 1000 + p.millisecond) /
        static_cast<double>(kMillisecondsPerDay);
    return DateTime(days < 0 ? days - time : days + time);
}

DateTime DateTime::fromDate(int year, int month, int day) {
    return fromParts({year, month, day, 0, 0, 0, 0});
}

DateTime DateTime::fromDateTime(int year, int month, int day, int hour, int minute, int second,
                                int millisecond) {
    return fromParts({year, month, day, hour, minute, second, millisecond});
}

DateTimeParts DateTime::parts() const {
    if (!std::isfinite(days_) || std::fabs(days_) > 3.0e6) {
        throw ConversionError("Invalid date-time value: " + std::to_string(days_));
    }
    auto wholeDays = static_cast<std::int64_t>(std::trunc(days_));
    auto timeMs = std::llround(std::fabs(days_ - static_cast<double>(wholeDays)) *
                               static_cast<double>(kMillisecondsPerDay));
    // Rounding carried into the next calendar day. Before the epoch the time
    // still counts forward from the day (-1.75 is 29/12/1899 18:00), so the
    // next day is one more there too.
    if (timeMs >= kMillisecondsPerDay) {
        timeMs -= kMillisecondsPerDay;
        wholeDays += 1;
    }
    DateTimeParts p;
    unsigned month = 0, day = 0;
    calendar::civilFromDays(wholeDays + kEpochDays, p.year, month, day);
    p.month = static_cast<int>(month);
    p.day = static_cast<int>(day);
    p.millisecond = static_cast<int>(timeMs % 1000);
    p.second = static_cast<int>(timeMs / 1000 % 60);
    p.minute = static_cast<int>(timeMs / 60000 % 60);
    p.hour = static_cast<int>(timeMs / 3600000);
    return p;
}

DateTime DateTime::date() const {
    DateTimeParts p = parts();
    return fromDate(p.year, p.month, p.day);
}

DateTime DateTime::roundToDay() const {
    // Round half to even, as the platform's Round does; any time after noon rounds up.
    return DateTime(std::nearbyint(days_));
}

bool DateTime::hasTimeOfDay() const {
    DateTimeParts p = parts();
    return p.hour != 0 || p.minute != 0 || p.second != 0 || p.millisecond != 0;
}

std::string DateTime::format(std::string_view pattern) const {
    const DateTimeParts p = parts();
    std::string out;
    out.reserve(pattern.size() + 4);
    bool lastWasHour = false;
    for (std::size_t i = 0; i < pattern.size();) {
        auto at = [&](std::string_view token) {
            if (pattern.size() - i < token.size()) return false;
            for (std::size_t k = 0; k < token.size(); ++k) {
                if ((pattern[i + k] | 0x20) != token[k]) return false;
            }
            return true;
        };
        if (at("yyyy")) {
            appendDigits(out, p.year, 4);
            i += 4;
            lastWasHour = false;
        } else if (at("yy")) {
            appendDigits(out, p.year % 100, 2);
            i += 2;
            lastWasHour = false;
        } else if (at("dd")) {
            appendDigits(out, p.day, 2);
            i += 2;
            lastWasHour = false;
        } else if (at("mm")) {
            appendDigits(out, lastWasHour ? p.minute : p.month, 2);
            i += 2;
            lastWasHour = false;
        } else if (at("hh")) {
            appendDigits(out, p.hour, 2);
            i += 2;
            lastWasHour = true;
        } else if (at("nn")) {
            appendDigits(out, p.minute, 2);
            i += 2;
            lastWasHour = false;
        } else if (at("ss")) {
            appendDigits(out, p.second, 2);
            i += 2;
            lastWasHour = false;
        } else if (at("zzz")) {
            appendDigits(out, p.millisecond, 3);
            i += 3;
            lastWasHour = false;
        } else {
            out += pattern[i];
            ++i;
        }
    }
    return out;
}

std::string DateTime::toDateText() const {
    return format("dd/mm/yyyy");
}

std::string DateTime::toFullText() const {
    return format("dd/mm/yyyy hh:nn:ss");
}

std::string DateTime::toText() const {
    return hasTimeOfDay() ? toFullText() : toDateText();
}

std::string DateTime::toIso() const {
    return format("yyyy-mm-dd hh:nn:ss.zzz");
}

DateTime DateTime::parse(std::string_view text) {
    auto fail = [&]() -> DateTime {
        throw ConversionError("'" + std::string(text) + "' is not a valid date and time");
    };
    std::size_t start = text.find_first_not_of(' ');
    std::size_t end = text.find_last_not_of(' ');
    if (start == std::string_view::npos) return fail();
    std::string_view t = text.substr(start, end - start + 1);

    DateTimeParts p;
    std::size_t pos = 0;
    const int first = readNumber(t, pos, 1, 4);
    if (first < 0) return fail();
    if (pos == 4 && expect(t, pos, '-')) {  // ISO: yyyy-mm-dd
        p.year = first;
        p.month = readNumber(t, pos, 2, 2);
        if (p.month < 0 || !expect(t, pos, '-')) return fail();
        p.day = readNumber(t, pos, 2, 2);
        if (p.day < 0) return fail();
    } else if (pos <= 2 && expect(t, pos, '/')) {  // dd/mm/yyyy
        p.day = first;
        p.month = readNumber(t, pos, 1, 2);
        if (p.month < 0 || !expect(t, pos, '/')) return fail();
        const std::size_t yearStart = pos;
        p.year = readNumber(t, pos, 2, 4);
        if (p.year < 0 || pos - yearStart == 3) return fail();
        if (pos - yearStart == 2) p.year += p.year < 50 ? 2000 : 1900;
    } else {
        return fail();
    }
    if (pos < t.size()) {
        if (!expect(t, pos, ' ') && !expect(t, pos, 'T')) return fail();
        while (expect(t, pos, ' ')) {
        }
        p.hour = readNumber(t, pos, 1, 2);
        if (p.hour < 0 || !expect(t, pos, ':')) return fail();
        p.minute = readNumber(t, pos, 2, 2);
        if (p.minute < 0) return fail();
        if (expect(t, pos, ':')) {
            p.second = readNumber(t, pos, 2, 2);
            if (p.second < 0) return fail();
            if (expect(t, pos, '.')) {
                const std::size_t msStart = pos;
                int fraction = readNumber(t, pos, 1, 3);
                if (fraction < 0) return fail();
                for (std::size_t digits = pos - msStart; digits < 3; ++digits) fraction *= 10;
                p.millisecond = fraction;
                while (pos < t.size() && t[pos] >= '0' && t[pos] <= '9') ++pos;  // beyond ms
            }
        }
        if (pos != t.size()) return fail();
    }
    return fromParts(p);
}

}  // namespace qel
