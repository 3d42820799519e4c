#include "simulator/time_text.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "core/calendar.h"

namespace qel::simulator {
using calendar::civilFromDays;
using calendar::daysFromCivil;

std::string isoText(Millis instant) {
    const Millis midnight = dayStart(instant);
    Millis rest = instant - midnight;
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civilFromDays(midnight / kDay, year, month, day);
    const auto hour = static_cast<int>(rest / kHour);
    rest %= kHour;
    const auto minute = static_cast<int>(rest / kMinute);
    rest %= kMinute;
    const auto second = static_cast<int>(rest / kSecond);
    const auto millis = static_cast<int>(rest % kSecond);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d.%03d", year, month, day, hour,
                  minute, second, millis);
    return text;
}

std::optional<Millis> parseDay(std::string_view text) {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    char tail = 0;
    const std::string copy(text);
    if (std::sscanf(copy.c_str(), "%4d-%2u-%2u%c", &year, &month, &day, &tail) != 3) return {};
    if (copy.size() != 10 || month < 1 || month > 12 || day < 1 || day > 31) return {};
    const std::int64_t days = daysFromCivil(year, month, day);
    int checkYear = 0;
    unsigned checkMonth = 0;
    unsigned checkDay = 0;
    civilFromDays(days, checkYear, checkMonth, checkDay);
    if (checkMonth != month || checkDay != day) return {};
    return days * kDay;
}

std::optional<Millis> parseIso(std::string_view text) {
    if (text.size() < 19) return {};
    const auto day = parseDay(text.substr(0, 10));
    if (!day) return {};
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millis = 0;
    const std::string rest(text.substr(10));
    const int read =
        std::sscanf(rest.c_str(), " %2d:%2d:%2d.%3d", &hour, &minute, &second, &millis);
    if (read < 3) return {};
    return *day + hour * kHour + minute * kMinute + second * kSecond + millis;
}

Millis localNow() {
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    return ms + static_cast<Millis>(local.tm_gmtoff) * kSecond;
}

}  // namespace qel::simulator
