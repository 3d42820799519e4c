#include "simulator/time_text.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace qel::simulator {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& year, unsigned& month, unsigned& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

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
