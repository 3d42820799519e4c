// The machine's clock steps back or forward while the agent runs: the export
// timer and the watchdog go by the time that really passed, the log lines by
// the machine's clock.
#include <gmock/gmock.h>

#include "app/event_loop.h"
#include "app/watchdog.h"
#include "app_fixture.h"

using ::testing::ElementsAre;

namespace qel::testing {
namespace {

using app::onDisparaThreadQelExp;
using std::chrono::milliseconds;

class ClockSteps : public AppFixture {
  protected:
    // A window on store 0001 whose timer period is `minutes`, started up.
    app::TfrmExportaVenda& startAgent(const std::string& minutes) {
        store(minutes);
        caixa("002");
        auto& w = makeWindow("X_0001_002_03_");
        w.FormCreate();
        return w;
    }

    // Runs the window's event loop for `total` minutes of passing time, with
    // the watchdog looking once a minute. When `stepAt` minutes have passed,
    // the machine's clock is set `step` minutes forward (or back). Records
    // the passing-time minute of every cycle and watchdog restart.
    void run(app::TfrmExportaVenda& w, int total, int stepAt, int step) {
        onDisparaThreadQelExp dog{{clock, w.state, runLog->sink(), dir,
                                   [&] { restartsAt.push_back(passed_.count() / 60'000.0); },
                                   [](milliseconds) { return true; }}};  // the loop moves time
        milliseconds sinceLook{0};
        bool stepped = false;
        app::EventLoop loop(
            clock, w.timExpCupons,
            [&](std::optional<milliseconds> timeout) {
                const milliseconds d = timeout.value_or(app::EventLoop::kLongestWait);
                clock.advance(d);
                passed_ += d;
                sinceLook += d;
                if (!stepped && passed_ >= std::chrono::minutes(stepAt)) {
                    clock.set(clock.now().addMinutes(step));
                    stepped = true;
                }
                for (; sinceLook >= onDisparaThreadQelExp::kStep;
                     sinceLook -= onDisparaThreadQelExp::kStep) {
                    EXPECT_TRUE(dog.pass());
                }
                return passed_ >= std::chrono::minutes(total);
            },
            [&] {
                ticksAt.push_back(passed_.count() / 60'000.0);
                w.timExpCuponsTimer();
            });
        loop.run();
    }

    std::vector<double> ticksAt;
    std::vector<double> restartsAt;

  private:
    milliseconds passed_{0};
};

TEST_F(ClockSteps, AfterAStepBackTheNextCycleComesWithinOnePeriod) {
    auto& w = startAgent("'5'");
    run(w, 31, 12, -60);
    EXPECT_THAT(ticksAt, ElementsAre(5, 10, 15, 20, 25, 30));
    EXPECT_TRUE(restartsAt.empty());
}

TEST_F(ClockSteps, AStepForwardNeitherHurriesACycleNorFiresTheWatchdog) {
    // Five hours: past both the 15-minute and the 240-minute limits.
    auto& w = startAgent("'5'");
    run(w, 31, 3, 300);
    EXPECT_THAT(ticksAt, ElementsAre(5, 10, 15, 20, 25, 30));
    EXPECT_TRUE(restartsAt.empty());
    EXPECT_EQ(logCount("Reinicia o QelExp apos 15 minutos parado: "), 0u);
    EXPECT_EQ(logCount("Avisa o QelExp que ele deve reiniciar."), 0u);
    EXPECT_EQ(logCount("Força a reinicialização"), 0u);
}

TEST_F(ClockSteps, AStepBackDoesNotHoldOffTheInactivityRestartAndItsLineShowsLocalTime) {
    // Period 0: only the start-up cycle, at 10:00:00, ever reports activity.
    auto& w = startAgent("'0'");
    run(w, 33, 2, -60);
    EXPECT_THAT(restartsAt, ElementsAre(16, 32));
    // The second line names the first restart's moment as the machine's
    // clock showed it: 10:16 less the hour it was set back.
    EXPECT_EQ(logCount("Reinicia o QelExp apos 15 minutos parado: 06/12/2026 10:00:00 "), 1u);
    EXPECT_EQ(logCount("Reinicia o QelExp apos 15 minutos parado: 06/12/2026 09:16:00 "), 1u);
}

}  // namespace
}  // namespace qel::testing
