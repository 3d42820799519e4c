// The edges of the main window's start-up and shutdown and of the main loop's
// waits: what a previous instance's handle file says, that the watchdog is
// gone once the window is destroyed, and how long the loop sleeps.
#include <gmock/gmock.h>

#include <atomic>
#include <thread>

#include "app/event_loop.h"
#include "app_fixture.h"
#include "process_helpers.h"

using ::testing::ElementsAre;

namespace qel::testing {
namespace {

using std::chrono::milliseconds;

// Records the handles of the stale tray icons the window asks to remove.
class StaleIconPlatform : public RecordingPlatform {
  public:
    using RecordingPlatform::RecordingPlatform;
    void removeStaleTrayIcon(std::int64_t handle) override { staleHandles.push_back(handle); }
    std::vector<std::int64_t> staleHandles;
};

class WindowEdges : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        auto p = std::make_unique<StaleIconPlatform>(*platform);
        icons = p.get();
        recording = std::move(p);
    }

    // The handles removed at start-up when the previous instance left `content`.
    std::vector<std::int64_t> staleHandlesAfter(const std::string& content) {
        std::ofstream(dir / "lastHandle.txt", std::ios::binary) << content;
        icons->staleHandles.clear();
        makeWindow().FormCreate();
        window.reset();
        return icons->staleHandles;
    }

    StaleIconPlatform* icons = nullptr;
};

TEST_F(WindowEdges, TheStaleIconIsTheLastHandleOfTheFileWithOrWithoutCarriageReturns) {
    // Windows line ends are dropped; a line without one keeps its last digit.
    EXPECT_THAT(staleHandlesAfter("1234\r\n"), ElementsAre(1234));
    EXPECT_THAT(staleHandlesAfter("1234\n"), ElementsAre(1234));
    EXPECT_THAT(staleHandlesAfter("5678"), ElementsAre(5678));
    EXPECT_THAT(staleHandlesAfter("77\r\n4321\r\n"), ElementsAre(4321));
    EXPECT_THAT(staleHandlesAfter("77\n4321"), ElementsAre(4321));
}

TEST_F(WindowEdges, NoHandleFileRemovesNoStaleIcon) {
    std::filesystem::remove(dir / "lastHandle.txt");
    makeWindow().FormCreate();
    EXPECT_TRUE(icons->staleHandles.empty());
}

TEST_F(WindowEdges, AfterFormDestroyTheWatchdogNoLongerRuns) {
    // The watchdog's sleep only counts its calls (the manual clock stands,
    // so no pass restarts anything); a stopped watchdog calls it no more.
    std::atomic<bool> destroyed{false};
    std::atomic<int> sleepsBefore{0}, sleepsAfter{0};
    app::WindowContext context{clock, *recording, *runLog, dir, ""};
    context.watchdogSleep = [&](milliseconds) {
        (destroyed ? sleepsAfter : sleepsBefore)++;
        std::this_thread::sleep_for(milliseconds(1));
        return true;
    };
    window = std::make_unique<app::TfrmExportaVenda>(std::move(context));
    window->FormCreate();
    ASSERT_TRUE(eventually([&] { return sleepsBefore > 0; }));
    window->FormDestroy();
    destroyed = true;
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(sleepsAfter, 0);
    EXPECT_EQ(logLines().back(), "FormDestroy");
}

// The first wait of a loop whose timer is set to `interval`, then stopped.
std::optional<milliseconds> firstWait(milliseconds interval) {
    ManualClock clock{DateTime::fromDateTime(2026, 12, 8, 9, 0, 0)};
    app::ExportTimer timer(clock.monotonicNow());
    timer.setInterval(interval, clock.monotonicNow());
    std::vector<std::optional<milliseconds>> waits;
    int ticks = 0;
    app::EventLoop loop(
        clock, timer,
        [&](std::optional<milliseconds> timeout) {
            waits.push_back(timeout);
            return true;
        },
        [&] { ++ticks; });
    loop.run();
    EXPECT_EQ(ticks, 0);
    EXPECT_EQ(waits.size(), 1u);
    return waits.empty() ? std::nullopt : waits.front();
}

TEST(EventLoopWaits, TheLoopSleepsExactlyUntilTheTickButAtMostAMinute) {
    EXPECT_EQ(firstWait(milliseconds(1)), milliseconds(1));
    EXPECT_EQ(firstWait(milliseconds(2)), milliseconds(2));
    EXPECT_EQ(firstWait(milliseconds(59'999)), milliseconds(59'999));
    EXPECT_EQ(firstWait(milliseconds(60'000)), milliseconds(60'000));
    EXPECT_EQ(firstWait(milliseconds(60'001)), app::EventLoop::kLongestWait);
    // A timer that never fires: the loop waits for a stop request only.
    EXPECT_EQ(firstWait(milliseconds(0)), std::nullopt);
}

TEST(EventLoopWaits, ATickDueAfterAStepOfTheManualClockRunsBeforeTheNextWait) {
    ManualClock clock{DateTime::fromDateTime(2026, 12, 8, 9, 0, 0)};
    const MonotonicTime t0 = clock.monotonicNow();
    app::ExportTimer timer(t0);
    timer.setInterval(milliseconds(10), t0);
    std::vector<std::string> events;
    app::EventLoop loop(
        clock, timer,
        [&](std::optional<milliseconds> timeout) {
            events.push_back("wait " + std::to_string(timeout->count()));
            clock.advance(milliseconds(4));
            return events.size() >= 6;
        },
        [&] { events.push_back("tick"); });
    loop.run();
    // 10 ms to the tick, then 6 and 2 left; at 12 the tick due at 10 runs.
    EXPECT_THAT(events, ElementsAre("wait 10", "wait 6", "wait 2", "tick", "wait 8", "wait 4"));
}

}  // namespace
}  // namespace qel::testing
