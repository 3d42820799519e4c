#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qel {

// Calendar parts of a DateTime.
struct DateTimeParts {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// A point in local time as a day count from midnight of 30 December 1899,
// with the time of day as the fraction (0.5 is noon). Value 0 is that midnight.
// For negative values the integer part counts days before the epoch and the
// absolute value of the fraction is the time of day, as the stations' platform
// does. Arithmetic is in days.
class DateTime {
  public:
    constexpr DateTime() = default;
    constexpr explicit DateTime(double days) : days_(days) {}

    static DateTime fromParts(const DateTimeParts& parts);
    static DateTime fromDate(int year, int month, int day);
    static DateTime fromDateTime(int year, int month, int day, int hour, int minute, int second,
                                 int millisecond = 0);

    constexpr double value() const { return days_; }
    DateTimeParts parts() const;

    // The date without its time of day.
    DateTime date() const;
    // Nearest whole day: a time after noon rounds up.
    DateTime roundToDay() const;
    bool hasTimeOfDay() const;

    DateTime addDays(double days) const { return DateTime(days_ + days); }
    DateTime addMinutes(double minutes) const { return DateTime(days_ + minutes / 1440.0); }
    DateTime addSeconds(double seconds) const { return DateTime(days_ + seconds / 86400.0); }

    // Formats with the tokens dd, mm (month, or minutes after hh), yyyy, yy,
    // hh, nn, ss, zzz; uppercase tokens mean the same. Anything else is
    // copied. Examples: "DDMMYY", "dd/mm/yyyy hh:nn:ss", "dd-mm-yyyy hh-nn-ss".
    std::string format(std::string_view pattern) const;

    // The stations' default texts (Brazilian locale): "06/12/2026 09:52:13",
    // and the date alone "06/12/2026". Like the platform, the date-and-time
    // text leaves out a time of day of exactly midnight.
    std::string toText() const;
    std::string toDateText() const;
    // The text of a date and time that never omits the time.
    std::string toFullText() const;
    // ISO form used by the SQLite station database: "2026-12-06 09:52:13.000".
    std::string toIso() const;

    // Parses "dd/mm/yyyy", "dd/mm/yyyy hh:nn", "dd/mm/yyyy hh:nn:ss[.zzz]"
    // and the ISO forms "yyyy-mm-dd[ hh:nn[:ss[.fff]]]" (also with 'T').
    // Throws ConversionError on anything else or an impossible date.
    static DateTime parse(std::string_view text);

    friend constexpr bool operator==(DateTime a, DateTime b) { return a.days_ == b.days_; }
    friend constexpr auto operator<=>(DateTime a, DateTime b) { return a.days_ <=> b.days_; }

  private:
    double days_ = 0.0;
};

// Appends v as exactly `width` (2 to 4) decimal digits, zero-padded, as
// printf's %0*d; a value outside 0..10^width-1 keeps all its digits and sign.
// Dates are written for every log line and every row a query examines, so
// this avoids a formatted print.
void appendDigits(std::string& out, int v, int width);

// Milliseconds in a day; a DateTime is exact to the millisecond.
inline constexpr std::int64_t kMillisecondsPerDay = 86'400'000;

}  // namespace qel
