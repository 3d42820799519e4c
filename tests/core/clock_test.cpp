// The two kinds of time a Clock gives, and how a manual clock moves them.
#include <gtest/gtest.h>

#include <ctime>

#include "core/clock.h"

namespace qel {
namespace {

using std::chrono::milliseconds;
using std::chrono::minutes;

TEST(ManualClock, StepsEitherKindOfTimeAloneAndAdvancesBoth) {
    ManualClock clock(DateTime::fromDateTime(2026, 12, 6, 10, 0, 0));
    const MonotonicTime start = clock.monotonicNow();

    clock.stepWall(minutes(-60));  // the machine's clock is set back
    EXPECT_EQ(clock.now(), DateTime::fromDateTime(2026, 12, 6, 9, 0, 0));
    EXPECT_EQ(clock.monotonicNow(), start);

    clock.set(DateTime::fromDateTime(2026, 12, 7, 3, 0, 0));  // and forward
    EXPECT_EQ(clock.monotonicNow(), start);

    clock.advanceMonotonic(minutes(5));
    EXPECT_EQ(clock.now(), DateTime::fromDateTime(2026, 12, 7, 3, 0, 0));
    EXPECT_EQ(clock.monotonicNow(), start + minutes(5));
    clock.advanceMonotonic(minutes(-5));  // never back
    EXPECT_EQ(clock.monotonicNow(), start + minutes(5));

    clock.advance(milliseconds(90'500));
    EXPECT_EQ(clock.now().toIso(), "2026-12-07 03:01:30.500");
    EXPECT_EQ(clock.monotonicNow(), start + minutes(5) + milliseconds(90'500));
    const Moment m = clock.moment();
    EXPECT_EQ(m.wall, clock.now());
    EXPECT_EQ(m.monotonic, clock.monotonicNow());
}

// The local date and time as the C library writes them, read back as text.
DateTime localTime(std::time_t t) {
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&t));
    return DateTime::parse(text);
}

TEST(SystemClock, ReadsTheLocalDateAndTimeAndSleeps) {
    const SystemClock clock;
    const DateTime low = localTime(std::time(nullptr));
    const DateTime now = clock.now();
    const DateTime high = localTime(std::time(nullptr)).addSeconds(1);
    EXPECT_LE(low, now);
    EXPECT_LT(now, high);

    SystemClock sleeper;
    const MonotonicTime start = sleeper.monotonicNow();
    sleeper.sleepFor(std::chrono::milliseconds(20));
    EXPECT_GE(sleeper.monotonicNow() - start, std::chrono::milliseconds(20));
}

TEST(SystemClock, ItsMonotonicReadingIsTheSteadyClock) {
    // Bracketed by two steady-clock readings: not the wall clock, whose
    // origin (1970) is decades away from the steady clock's.
    const SystemClock clock;
    const auto before = std::chrono::floor<milliseconds>(std::chrono::steady_clock::now());
    const MonotonicTime first = clock.monotonicNow();
    const MonotonicTime second = clock.monotonicNow();
    const auto after = std::chrono::steady_clock::now();
    EXPECT_LE(before, first);
    EXPECT_LE(first, second);
    EXPECT_LE(second, after);
}

}  // namespace
}  // namespace qel
