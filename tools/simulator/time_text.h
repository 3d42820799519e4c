#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qel::simulator {

// Local wall-clock instants as milliseconds since 1970-01-01 00:00:00, without a time zone:
// the station database stores local date-times as text.
using Millis = std::int64_t;

constexpr Millis kSecond = 1000;
constexpr Millis kMinute = 60 * kSecond;
constexpr Millis kHour = 60 * kMinute;
constexpr Millis kDay = 24 * kHour;

// "YYYY-MM-DD HH:MM:SS.fff", the stored form of every date-time.
std::string isoText(Millis instant);

// Midnight of the instant's day.
inline Millis dayStart(Millis instant) {
    return instant - ((instant % kDay) + kDay) % kDay;
}

// Parses "YYYY-MM-DD" into the midnight of that day; empty when malformed.
std::optional<Millis> parseDay(std::string_view text);

// Parses "YYYY-MM-DD HH:MM:SS.fff" (milliseconds optional); empty when malformed.
std::optional<Millis> parseIso(std::string_view text);

// The current local time of the machine.
Millis localNow();

}  // namespace qel::simulator
