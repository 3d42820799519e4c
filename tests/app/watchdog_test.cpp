// The watchdog's rules, driven minute by minute by a manual clock.
#include <gmock/gmock.h>

#include <future>
#include <stdexcept>

#include "app/event_loop.h"
#include "app/watchdog.h"
#include "app_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace qel::testing {
namespace {

using app::onDisparaThreadQelExp;
using std::chrono::milliseconds;

const DateTime kStart = DateTime::fromDateTime(2026, 12, 6, 10, 0, 0);

// A watchdog whose sleeps move the manual clock; `duringSleep` runs what
// the main thread does while the watchdog sleeps.
struct Rig {
    ManualClock clock{kStart};
    app::SharedState state;
    std::vector<std::string> lines;
    std::vector<Moment> restarts;
    std::function<void(milliseconds)> duringSleep;
    onDisparaThreadQelExp dog{{clock, state, [this](std::string_view m) { lines.emplace_back(m); },
                               "/opt/qelexp", [this] { restarts.push_back(clock.moment()); },
                               [this](milliseconds d) {
                                   if (duringSleep) {
                                       duringSleep(d);
                                   } else {
                                       clock.advance(d);
                                   }
                                   return true;
                               }}};
    Rig() { state.reset(clock.moment()); }
    // Minutes of passing time from the rig's start (or `from`) to `t`.
    double minutesSince(const Moment& t, MonotonicTime from = {}) const {
        return static_cast<double>((t.monotonic - from).count()) / 60'000.0;
    }
    // The moment `seconds` after the rig's start.
    Moment at(int seconds) const {
        return {kStart.addSeconds(seconds), MonotonicTime(std::chrono::seconds(seconds))};
    }
};

TEST(Watchdog, WithoutActivityItRestartsInTheSixteenthMinuteAndAgainSixteenLater) {
    Rig rig;  // export type "S": no cycle ever refreshes the last activity
    while (rig.restarts.size() < 2) ASSERT_TRUE(rig.dog.pass());
    EXPECT_NEAR(rig.minutesSince(rig.restarts[0]), 16.0, 1e-6);
    EXPECT_NEAR(rig.minutesSince(rig.restarts[1]), 32.0, 1e-6);
    EXPECT_EQ(rig.lines[0],
              "Reinicia o QelExp apos 15 minutos parado: 06/12/2026 10:00:00 "
              "/opt/qelexp\\QelExp.exe");
    EXPECT_THAT(rig.lines[1], HasSubstr("parado: 06/12/2026 10:16:00 "));
}

TEST(Watchdog, ExactlyFifteenMinutesIsNotYetInactivity) {
    Rig rig;
    rig.state.setUltimaAtividade(rig.at(60));  // 900 s before minute 16
    for (int minute = 1; minute <= 16; ++minute) ASSERT_TRUE(rig.dog.pass());
    EXPECT_TRUE(rig.restarts.empty());
    ASSERT_TRUE(rig.dog.pass());
    EXPECT_EQ(rig.restarts.size(), 1u);
}

TEST(Watchdog, ATwentyMinuteStationRunIsCutByTheInactivityRestart) {
    Rig rig;
    // The main thread starts a station's run half a minute in; it would
    // take 20 minutes and refreshes nothing meanwhile.
    const Moment stationStart = rig.at(30);
    rig.state.setUltimaAtividade(stationStart);
    while (rig.restarts.empty()) ASSERT_TRUE(rig.dog.pass());
    const double after = rig.minutesSince(rig.restarts[0], stationStart.monotonic);
    EXPECT_GT(after, 15.0);
    EXPECT_LE(after, 16.0);
}

TEST(Watchdog, After240MinutesTheMainThreadRestartsWhenACycleEndsDuringTheNotice) {
    Rig rig;
    bool mainRestarted = false;
    // Busy agent: the main thread reports activity every minute; during the
    // notice a cycle ends and finds the request.
    rig.duringSleep = [&](milliseconds d) {
        rig.clock.advance(d);
        rig.state.setUltimaAtividade(rig.clock.moment());
        if (d == onDisparaThreadQelExp::kNotice && rig.state.reiniciarAgora()) {
            mainRestarted = true;
        }
    };
    while (rig.lines.empty()) ASSERT_TRUE(rig.dog.pass());
    EXPECT_EQ(rig.lines[0], "Avisa o QelExp que ele deve reiniciar.");
    EXPECT_TRUE(mainRestarted);
    // A notice starts strictly after 240 minutes: at minute 241.
    EXPECT_NEAR(rig.minutesSince(rig.state.inicioExecucao()), 246.0, 1e-6);
    EXPECT_FALSE(rig.state.reiniciarAgora());
}

TEST(Watchdog, After240MinutesTheWatchdogForcesTheRestartWhenNoCycleEnds) {
    Rig rig;
    rig.duringSleep = [&](milliseconds d) {
        rig.clock.advance(d);
        if (d != onDisparaThreadQelExp::kNotice) rig.state.setUltimaAtividade(rig.clock.moment());
    };
    while (rig.restarts.empty()) ASSERT_TRUE(rig.dog.pass());
    EXPECT_NEAR(rig.minutesSince(rig.restarts[0]), 246.0, 1e-6);
    ASSERT_EQ(rig.lines.size(), 2u);
    EXPECT_EQ(rig.lines[1],
              "Força a reinicialização  do QelExp apos 240 minutos executando: 06/12/2026 "
              "14:01:00 /opt/qelexp\\QelExp.exe");
}

TEST(Watchdog, AnErrorEndsTheThreadWithItsLine) {
    Rig rig;
    onDisparaThreadQelExp failing{{rig.clock, rig.state,
                                   [&](std::string_view m) { rig.lines.emplace_back(m); }, "/q",
                                   [] { throw std::runtime_error("sem shell"); },
                                   [&](milliseconds d) {
                                       rig.clock.advance(d);
                                       return true;
                                   }}};
    failing.Execute();  // returns: the loop ended
    EXPECT_THAT(rig.lines,
                ElementsAre(HasSubstr("15 minutos parado"), "Erro DisparaThreadQelSinc:sem shell"));
}

TEST(Watchdog, OnItsOwnThreadItPassesUntilASleepIsCutAndItsEndWaitsForTheThread) {
    ManualClock clock{kStart};
    app::SharedState state;
    state.reset(clock.moment());
    int sleeps = 0;
    std::promise<void> thirdSleep;
    {
        onDisparaThreadQelExp dog{{clock, state, [](std::string_view) {}, "/q", [] {},
                                   [&](milliseconds d) {
                                       clock.advance(d);
                                       if (++sleeps < 3) return true;
                                       thirdSleep.set_value();
                                       return false;  // cut short: the loop ends
                                   }}};
        dog.start();
        ASSERT_EQ(thirdSleep.get_future().wait_for(std::chrono::minutes(2)),
                  std::future_status::ready);
    }  // no stop(): the destructor joins the thread
    EXPECT_EQ(sleeps, 3);
}

TEST(Watchdog, AStopEndsTheSleepingThreadAtOnce) {
    ManualClock clock{kStart};
    app::SharedState state;
    state.reset(clock.moment());
    std::vector<std::string> lines;
    onDisparaThreadQelExp dog{
        {clock, state, [&](std::string_view m) { lines.emplace_back(m); }, "/q", [] {}}};
    dog.start();  // real one-minute sleeps on a condition variable
    dog.stop();   // would hang for a minute if the sleep were not cut short
    EXPECT_TRUE(lines.empty());
}

using TimerAndWatchdog = AppFixture;

TEST_F(TimerAndWatchdog, PeriodZeroNeverTicksAndTheWatchdogRestartsAfterFifteenIdleMinutes) {
    store("'0'");
    caixa("002");
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();
    ASSERT_EQ(logCount("Chama BuscaVendas"), 1u);  // the start-up run only
    const Moment lastActivity = w.state.ultimaAtividade();

    onDisparaThreadQelExp dog{{clock, w.state, runLog->sink(), dir,
                               [&] { recording->restarts.push_back("watchdog"); },
                               [&](milliseconds d) {
                                   clock.advance(d);
                                   return true;
                               }}};
    int waits = 0;
    app::EventLoop loop(
        clock, w.timExpCupons,
        [&](std::optional<milliseconds> timeout) {
            EXPECT_FALSE(timeout.has_value());  // nothing to wake up for
            // Stand-in for the real wait: a minute passes, the watchdog looks.
            dog.pass();
            return ++waits == 20 || !recording->restarts.empty();
        },
        [&] { w.timExpCuponsTimer(); });
    loop.run();
    EXPECT_EQ(logCount("Chama BuscaVendas"), 1u);
    ASSERT_EQ(recording->restarts.size(), 1u);
    EXPECT_EQ(clock.monotonicNow() - lastActivity.monotonic, std::chrono::minutes(16));
    EXPECT_EQ(logCount("Reinicia o QelExp apos 15 minutos parado: "), 1u);
}

TEST_F(TimerAndWatchdog, ANoticeDuringACycleRestartsThroughTheMainThread) {
    store("'5'");
    caixa("002");
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();
    onDisparaThreadQelExp dog{{clock, w.state, runLog->sink(), dir,
                               [&] { recording->restarts.push_back("watchdog"); },
                               [&](milliseconds d) {
                                   clock.advance(d);
                                   // A cycle ends during the notice.
                                   if (d == onDisparaThreadQelExp::kNotice) w.BuscaVendas();
                                   return true;
                               }}};
    w.state.setInicioExecucao(
        {clock.now().addMinutes(-240), clock.monotonicNow() - std::chrono::minutes(240)});
    ASSERT_TRUE(dog.pass());
    EXPECT_EQ(recording->restarts.front(), "QelExp.exe");  // the main thread's, first
    EXPECT_EQ(logCount("Avisa o QelExp que ele deve reiniciar."), 1u);
    EXPECT_EQ(logCount("Reinicia devido ao tempo limite de execução."), 1u);
}

}  // namespace
}  // namespace qel::testing
