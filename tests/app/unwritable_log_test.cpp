// The run-log folder cannot be written for a while (a file stands where the
// folder belongs): the lines of that while are lost, and the agent exports
// again as soon as the folder can be written.
#include <gmock/gmock.h>

#include <fstream>

#include "app/event_loop.h"
#include "app/watchdog.h"
#include "app_fixture.h"

using ::testing::ElementsAre;

namespace qel::testing {
namespace {

namespace fs = std::filesystem;
using app::onDisparaThreadQelExp;
using std::chrono::milliseconds;

class UnwritableLog : public AppFixture {
  protected:
    fs::path logFolder() const { return dir / "Dados" / "Qel_Exp"; }
    fs::path aside() const { return dir / "Dados" / "Qel_Exp.aside"; }
    // A file where the run-log folder belongs: every line fails. The lines
    // written so far are kept aside and put back.
    void blockLog() {
        fs::create_directories(logFolder());
        fs::rename(logFolder(), aside());
        std::ofstream(logFolder()) << "x";
    }
    void unblockLog() {
        fs::remove(logFolder());
        fs::rename(aside(), logFolder());
    }

    // A window on store 0001, period 5 minutes, started up as main() does:
    // an error that escapes the start-up does not end the process.
    app::TfrmExportaVenda& startAgent() {
        store("'5'");
        caixa("002");
        auto& w = makeWindow("X_0001_002_03_");
        try {
            w.FormCreate();
        } catch (const std::exception&) {
        }
        return w;
    }

    // Runs the window's event loop, with the watchdog looking once a
    // minute, for `total` minutes of passing time; `at(minute)` runs after
    // each minute. Records the minute of every cycle and watchdog restart.
    void run(app::TfrmExportaVenda& w, int total, const std::function<void(int)>& at = {}) {
        onDisparaThreadQelExp dog{{clock, w.state, runLog->sink(), dir,
                                   [&] { restartsAt.push_back(minute_); },
                                   [](milliseconds) { return true; }}};
        app::EventLoop loop(
            clock, w.timExpCupons,
            [&](std::optional<milliseconds>) {
                // A minute at a time: the cycles fall on whole minutes here.
                clock.advance(std::chrono::minutes(1));
                ++minute_;
                if (!dog.pass()) ADD_FAILURE() << "the watchdog stopped";
                if (at) at(minute_);
                return minute_ >= total;
            },
            [&] {
                ticksAt.push_back(minute_);
                try {
                    w.timExpCuponsTimer();
                } catch (const std::exception&) {
                    // What main() does with a cycle whose log failed.
                }
            });
        loop.run();
    }

    std::vector<int> ticksAt;
    std::vector<int> restartsAt;

  private:
    int minute_ = 0;
};

TEST_F(UnwritableLog, AnAgentStartedWhileItsLogFolderIsAFileExportsOnceItIsWritableAgain) {
    blockLog();
    auto& w = startAgent();
    unblockLog();
    // The machine's clock is then set an hour back.
    run(w, 11, [&](int minute) {
        if (minute == 3) clock.stepWall(std::chrono::hours(-1));
    });
    // The start-up did its work though none of its lines could be written.
    EXPECT_EQ(w.timExpCupons.interval().count(), 300'000);
    EXPECT_EQ(w.CDCAIXA, "002");
    EXPECT_THAT(ticksAt, ElementsAre(5, 10));
    EXPECT_EQ(logCount("Chama BuscaVendas"), 2u);
    EXPECT_EQ(logCount("CAIXA: 002"), 2u);
    EXPECT_EQ(logCount("Exportação realizada pelo QelExp"), 2u);
    EXPECT_EQ(queryText(stationFile(), "SELECT IDQELEXPEXECUTA FROM QELEXPEXECUTA"), "N");
    EXPECT_FALSE(logHas("FormCreate"));
    EXPECT_TRUE(restartsAt.empty());
}

TEST_F(UnwritableLog, ACycleWhoseLogFailsIsLostAndTheNextOneExports) {
    auto& w = startAgent();
    ASSERT_EQ(logCount("Exportação realizada pelo QelExp"), 1u);
    // Unwritable from minute 4 to minute 7: the cycle of minute 5 is lost.
    run(w, 16, [&](int minute) {
        if (minute == 4) blockLog();
        if (minute == 7) unblockLog();
    });
    EXPECT_THAT(ticksAt, ElementsAre(5, 10, 15));
    EXPECT_EQ(logCount("Exportação realizada pelo QelExp"), 3u);
    EXPECT_EQ(queryText(stationFile(), "SELECT IDQELEXPEXECUTA FROM QELEXPEXECUTA"), "N");
    EXPECT_TRUE(restartsAt.empty());
}

TEST_F(UnwritableLog, TheWatchdogRestartsTheAgentThoughItsLineCannotBeWrittenAndWatchesOn) {
    // Period 0: only the start-up cycle reports activity; the watchdog
    // restarts in the 16th and the 32nd minute, the first time unlogged.
    store("'0'");
    caixa("002");
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();
    run(w, 33, [&](int minute) {
        if (minute == 15) blockLog();
        if (minute == 17) unblockLog();
    });
    EXPECT_THAT(restartsAt, ElementsAre(16, 32));
    EXPECT_EQ(logCount("Reinicia o QelExp apos 15 minutos parado: "), 1u);
}

}  // namespace
}  // namespace qel::testing
