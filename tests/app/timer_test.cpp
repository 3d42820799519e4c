// The export timer and the main loop, on a manual clock.
#include <gmock/gmock.h>

#include <cmath>

#include "app/event_loop.h"
#include "app/export_timer.h"
#include "core/clock.h"

using ::testing::ElementsAre;

namespace qel::app {
namespace {

using std::chrono::milliseconds;

const DateTime kStart = DateTime::fromDateTime(2026, 12, 6, 10, 0, 0);
const MonotonicTime kT0{};  // a manual clock's monotonic start

double minutesSince(MonotonicTime from, MonotonicTime to) {
    return static_cast<double>((to - from).count()) / 60'000.0;
}

// Runs the loop for `minutes` of manual time; each cycle that starts before
// minute `slowUntil` takes `cycleMinutes`, later ones no time. Returns the
// minutes at which cycles started.
std::vector<double> tickMinutes(milliseconds interval, double cycleMinutes, double minutes,
                                double slowUntil = 1e9) {
    ManualClock clock{kStart};
    ExportTimer timer(kT0);
    timer.setInterval(interval, kT0);
    std::vector<double> ticks;
    bool inCycle = false;
    EventLoop loop(
        clock, timer,
        [&](std::optional<milliseconds> timeout) {
            clock.advance(timeout.value_or(EventLoop::kLongestWait));
            return minutesSince(kT0, clock.monotonicNow()) >= minutes;
        },
        [&] {
            EXPECT_FALSE(inCycle);
            inCycle = true;
            const double at = minutesSince(kT0, clock.monotonicNow());
            ticks.push_back(std::round(at * 1000) / 1000);
            if (at < slowUntil) {
                clock.advance(milliseconds(static_cast<long>(cycleMinutes * 60'000)));
            }
            inCycle = false;
        });
    loop.run();
    return ticks;
}

TEST(ExportTimer, TicksOnTheBeatCountedFromWhenThePeriodWasSet) {
    EXPECT_THAT(tickMinutes(milliseconds(300'000), 1.0, 21), ElementsAre(5, 10, 15, 20));
}

TEST(ExportTimer, ATickDueDuringACycleRunsOnceAfterItNeverNested) {
    // Cycles of 7 minutes on a 5-minute beat: the tick due at 10 runs at 12;
    // those due at 15 and 20 are one tick at 19; then 26 (25 fell due).
    EXPECT_THAT(tickMinutes(milliseconds(300'000), 7.0, 30, 20), ElementsAre(5, 12, 19, 26));
}

TEST(ExportTimer, PeriodZeroNeverFires) {
    EXPECT_TRUE(tickMinutes(milliseconds(0), 1.0, 600).empty());
    ExportTimer timer(kT0);
    timer.setInterval(milliseconds(0), kT0);
    EXPECT_FALSE(timer.nextDue().has_value());
    EXPECT_FALSE(timer.take(kT0 + std::chrono::hours(72)));
}

TEST(ExportTimer, TheDesignPeriodIsThirtyMinutes) {
    ExportTimer timer(kT0);
    EXPECT_EQ(timer.interval(), milliseconds(1'800'000));
    EXPECT_FALSE(timer.take(kT0 + milliseconds(1'799'999)));
    EXPECT_TRUE(timer.take(kT0 + milliseconds(1'800'000)));
    EXPECT_FALSE(timer.take(kT0 + milliseconds(1'800'000)));  // the same tick is taken once
}

TEST(EventLoop, AStopRequestEndsTheLoopWithoutATick) {
    ManualClock clock{kStart};
    ExportTimer timer(kT0);
    int ticks = 0;
    std::vector<std::optional<milliseconds>> waits;
    EventLoop loop(
        clock, timer,
        [&](std::optional<milliseconds> timeout) {
            waits.push_back(timeout);
            return true;
        },
        [&] { ++ticks; });
    loop.run();
    EXPECT_EQ(ticks, 0);
    // One wait, at most the longest single wait, not a busy poll.
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0], EventLoop::kLongestWait);
}

}  // namespace
}  // namespace qel::app
