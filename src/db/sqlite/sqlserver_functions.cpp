#include "db/sqlite/sqlserver_functions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "core/datetime.h"
#include "core/error.h"

namespace qel::db::sqlite {
namespace {

constexpr std::int64_t kMsPerSecond = 1000;
constexpr std::int64_t kMsPerMinute = 60 * kMsPerSecond;
constexpr std::int64_t kMsPerHour = 60 * kMsPerMinute;
constexpr std::int64_t kMsPerDay = 24 * kMsPerHour;

// ---- calendar arithmetic on milliseconds since 1970-01-01 00:00 --------------------

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<std::int64_t>(y - era * 400);
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

int daysInMonth(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

std::int64_t toMs(const DateTimeParts& p) {
    return daysFromCivil(p.year, p.month, p.day) * kMsPerDay + p.hour * kMsPerHour +
           p.minute * kMsPerMinute + p.second * kMsPerSecond + p.millisecond;
}

DateTimeParts fromMs(std::int64_t ms) {
    DateTimeParts p;
    const std::int64_t days = floorDiv(ms, kMsPerDay);
    std::int64_t rest = ms - days * kMsPerDay;
    civilFromDays(days, p.year, p.month, p.day);
    p.hour = static_cast<int>(rest / kMsPerHour);
    rest %= kMsPerHour;
    p.minute = static_cast<int>(rest / kMsPerMinute);
    rest %= kMsPerMinute;
    p.second = static_cast<int>(rest / kMsPerSecond);
    p.millisecond = static_cast<int>(rest % kMsPerSecond);
    return p;
}

// "yyyy-mm-dd" of the parts, then (with `time`) " hh:nn:ss", then (with
// `millis`) ".fff".
std::string isoText(const DateTimeParts& p, bool time, bool millis) {
    std::string out;
    out.reserve(24);
    appendDigits(out, p.year, 4);
    out += '-';
    appendDigits(out, p.month, 2);
    out += '-';
    appendDigits(out, p.day, 2);
    if (time) {
        out += ' ';
        appendDigits(out, p.hour, 2);
        out += ':';
        appendDigits(out, p.minute, 2);
        out += ':';
        appendDigits(out, p.second, 2);
    }
    if (millis) {
        out += '.';
        appendDigits(out, p.millisecond, 3);
    }
    return out;
}

std::string iso(const DateTimeParts& p) {
    return isoText(p, true, true);
}

// ---- arguments and results ---------------------------------------------------------

std::string_view textOf(sqlite3_value* value) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    return text ? std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(value)))
                : std::string_view();
}

bool anyNull(int argc, sqlite3_value** argv) {
    for (int i = 0; i < argc; ++i) {
        if (sqlite3_value_type(argv[i]) == SQLITE_NULL) return true;
    }
    return false;
}

// A date-time argument: text in any form DateTime parses, or a day count.
// Throws qel::ConversionError on a text that is no date-time.
DateTimeParts dateTimeOf(sqlite3_value* value) {
    const int type = sqlite3_value_type(value);
    if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
        return DateTime(sqlite3_value_double(value)).parts();
    }
    return DateTime::parse(textOf(value)).parts();
}

void resultText(sqlite3_context* context, const std::string& text) {
    sqlite3_result_text(context, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

enum class Unit { Year, Month, Day, Hour, Minute, Second, Millisecond };

Unit unitOf(sqlite3_value* value) {
    std::string name(textOf(value));
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "yy" || name == "yyyy" || name == "year") return Unit::Year;
    if (name == "mm" || name == "m" || name == "month") return Unit::Month;
    if (name == "dd" || name == "d" || name == "day") return Unit::Day;
    if (name == "hh" || name == "hour") return Unit::Hour;
    if (name == "mi" || name == "n" || name == "minute") return Unit::Minute;
    if (name == "ss" || name == "s" || name == "second") return Unit::Second;
    if (name == "ms" || name == "millisecond") return Unit::Millisecond;
    throw Error("unknown date part: " + name);
}

std::int64_t msPer(Unit unit) {
    switch (unit) {
        case Unit::Day:
            return kMsPerDay;
        case Unit::Hour:
            return kMsPerHour;
        case Unit::Minute:
            return kMsPerMinute;
        case Unit::Second:
            return kMsPerSecond;
        default:
            return 1;
    }
}

// Runs a function body, turning an exception into the SQL error of the call.
template <typename Body>
void guarded(sqlite3_context* context, Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        sqlite3_result_error(context, e.what(), -1);
    }
}

// ---- the functions -----------------------------------------------------------------

// A query calls GETDATE once per row; the text of the last instant is kept
// so that rows read within the same millisecond format it once.
void getDate(sqlite3_context* context, int, sqlite3_value**) {
    const auto* clock = static_cast<const Clock*>(sqlite3_user_data(context));
    guarded(context, [&] {
        thread_local DateTime lastInstant(-1.0e9);
        thread_local std::string lastText;
        const DateTime now = clock->now();
        if (!(now == lastInstant) || lastText.empty()) {
            lastText = now.toIso();
            lastInstant = now;
        }
        resultText(context, lastText);
    });
}

// SQL Server counts the boundaries crossed, not the elapsed time:
// DATEDIFF(mi, '10:00:59', '10:01:00') is 1.
void dateDiff(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (anyNull(argc, argv)) return sqlite3_result_null(context);
    guarded(context, [&] {
        const Unit unit = unitOf(argv[0]);
        const DateTimeParts a = dateTimeOf(argv[1]);
        const DateTimeParts b = dateTimeOf(argv[2]);
        std::int64_t result = 0;
        if (unit == Unit::Year) {
            result = b.year - a.year;
        } else if (unit == Unit::Month) {
            result = (b.year * 12 + b.month) - (a.year * 12 + a.month);
        } else {
            const std::int64_t per = msPer(unit);
            result = floorDiv(toMs(b), per) - floorDiv(toMs(a), per);
        }
        sqlite3_result_int64(context, result);
    });
}

void dateAdd(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (anyNull(argc, argv)) return sqlite3_result_null(context);
    guarded(context, [&] {
        const Unit unit = unitOf(argv[0]);
        const auto amount = static_cast<std::int64_t>(sqlite3_value_double(argv[1]));
        DateTimeParts p = dateTimeOf(argv[2]);
        if (unit == Unit::Year || unit == Unit::Month) {
            const std::int64_t months =
                p.year * 12 + (p.month - 1) + (unit == Unit::Year ? amount * 12 : amount);
            p.year = static_cast<int>(floorDiv(months, 12));
            p.month = static_cast<int>(months - std::int64_t{p.year} * 12) + 1;
            p.day = std::min(p.day, daysInMonth(p.year, p.month));
        } else {
            p = fromMs(toMs(p) + amount * msPer(unit));
        }
        resultText(context, iso(p));
    });
}

void datePart(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (anyNull(argc, argv)) return sqlite3_result_null(context);
    guarded(context, [&] {
        const Unit unit = unitOf(argv[0]);
        const DateTimeParts p = dateTimeOf(argv[1]);
        const int parts[] = {p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond};
        sqlite3_result_int(context, parts[static_cast<int>(unit)]);
    });
}

void convertStyle(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (anyNull(argc, argv)) return sqlite3_result_null(context);
    guarded(context, [&] {
        const DateTimeParts p = dateTimeOf(argv[0]);
        const int style = sqlite3_value_int(argv[1]);
        std::string out;
        switch (style) {
            case 103:
                appendDigits(out, p.day, 2);
                out += '/';
                appendDigits(out, p.month, 2);
                out += '/';
                appendDigits(out, p.year, 4);
                break;
            case 108:
                appendDigits(out, p.hour, 2);
                out += ':';
                appendDigits(out, p.minute, 2);
                out += ':';
                appendDigits(out, p.second, 2);
                break;
            case 112:
                appendDigits(out, p.year, 4);
                appendDigits(out, p.month, 2);
                appendDigits(out, p.day, 2);
                break;
            case 120:
                out = isoText(p, true, false);
                break;
            case 121:
                out = iso(p);
                break;
            default:
                throw Error("unsupported CONVERT style " + std::to_string(style));
        }
        resultText(context, out);
    });
}

void castDateTime(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (anyNull(argc, argv)) return sqlite3_result_null(context);
    guarded(context, [&] {
        try {
            resultText(context, iso(dateTimeOf(argv[0])));
        } catch (const ConversionError&) {
            throw Error(
                "Conversion failed when converting date and/or time from character "
                "string: " +
                std::string(textOf(argv[0])));
        }
    });
}

// x scaled by 10^digits, with the noise of binary representation removed:
// the result is snapped to six further decimals, far below a cent and far
// above the error of a double, so 0.29 * 100 gives 29 and not 28.999...
double scaledDecimal(double x, int digits) {
    const double scaled = x * std::pow(10.0, digits);
    if (std::fabs(scaled) >= 1e9) return scaled;
    return std::round(scaled * 1e6) / 1e6;
}

template <double (*Rounding)(double)>
void roundDecimal(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (anyNull(argc, argv)) return sqlite3_result_null(context);
    const int digits = sqlite3_value_int(argv[1]);
    if (sqlite3_value_numeric_type(argv[0]) == SQLITE_INTEGER && digits >= 0) {
        return sqlite3_result_int64(context, sqlite3_value_int64(argv[0]));
    }
    const double x = sqlite3_value_double(argv[0]);
    sqlite3_result_double(context, Rounding(scaledDecimal(x, digits)) / std::pow(10.0, digits));
}

double truncate(double x) {
    return std::trunc(x);
}
double halfAwayFromZero(double x) {
    return std::round(x);
}

std::size_t characters(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

void len(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (anyNull(argc, argv)) return sqlite3_result_null(context);
    std::string_view text = textOf(argv[0]);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    sqlite3_result_int64(context, static_cast<sqlite3_int64>(characters(text)));
}

void charIndex(sqlite3_context* context, int argc, sqlite3_value** argv) {
    if (anyNull(argc, argv)) return sqlite3_result_null(context);
    const std::string needle(textOf(argv[0]));
    const std::string haystack(textOf(argv[1]));
    std::size_t from = 0;  // byte offset of the start character
    if (argc == 3) {
        for (int skip = sqlite3_value_int(argv[2]) - 1; skip > 0 && from < haystack.size();
             --skip) {
            do ++from;
            while (from < haystack.size() &&
                   (static_cast<unsigned char>(haystack[from]) & 0xC0) == 0x80);
        }
    }
    const auto found = needle.empty() ? std::string::npos : haystack.find(needle, from);
    sqlite3_result_int64(context,
                         found == std::string::npos
                             ? 0
                             : static_cast<sqlite3_int64>(
                                   characters(std::string_view(haystack).substr(0, found)) + 1));
}

using Function = void (*)(sqlite3_context*, int, sqlite3_value**);

void define(sqlite3* db, const char* name, int arguments, Function function, bool deterministic,
            void* userData = nullptr) {
    const int flags = SQLITE_UTF8 | (deterministic ? SQLITE_DETERMINISTIC : 0);
    if (sqlite3_create_function_v2(db, name, arguments, flags, userData, function, nullptr, nullptr,
                                   nullptr) != SQLITE_OK) {
        throw DatabaseError("cannot register SQL function " + std::string(name) + ": " +
                            sqlite3_errmsg(db));
    }
}

}  // namespace

void registerSqlServerFunctions(sqlite3* db, const qel::Clock& clock) {
    define(db, "GETDATE", 0, getDate, false, const_cast<Clock*>(&clock));
    define(db, "DATEDIFF", 3, dateDiff, true);
    define(db, "DATEADD", 3, dateAdd, true);
    define(db, "DATEPART", 2, datePart, true);
    define(db, "CONVERT_STYLE", 2, convertStyle, true);
    define(db, "CAST_DATETIME", 1, castDateTime, true);
    define(db, "ROUND_TRUNC", 2, roundDecimal<truncate>, true);
    define(db, "ROUND_HALF", 2, roundDecimal<halfAwayFromZero>, true);
    define(db, "LEN", 1, len, true);
    define(db, "CHARINDEX", 2, charIndex, true);
    define(db, "CHARINDEX", 3, charIndex, true);
}

}  // namespace qel::db::sqlite
