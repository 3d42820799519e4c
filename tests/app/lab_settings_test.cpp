// The lab variables as the agent reads them from its environment.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "app/lab_settings.h"

namespace qel::app {
namespace {

LabSettings read(const std::map<std::string, std::string>& environment) {
    return LabSettings::read([&](const char* name) -> const char* {
        const auto it = environment.find(name);
        return it == environment.end() ? nullptr : it->second.c_str();
    });
}

TEST(LabSettings, TimerSecondsFromOneTo3600AndNothingElse) {
    EXPECT_EQ(read({{"QELEXP_TIMER_SECONDS", "1"}}).timerPeriod, std::chrono::seconds(1));
    EXPECT_EQ(read({{"QELEXP_TIMER_SECONDS", "3600"}}).timerPeriod, std::chrono::seconds(3600));
    for (const char* bad : {"0", "3601", "-1", "5s", " 5", "1e3", "99999999999999999999"}) {
        SCOPED_TRACE(bad);
        const LabSettings s = read({{"QELEXP_TIMER_SECONDS", bad}});
        EXPECT_FALSE(s.timerPeriod);
        ASSERT_EQ(s.problems.size(), 1u);
        EXPECT_EQ(s.problems[0].rfind(std::string("QELEXP_TIMER_SECONDS=\"") + bad + "\"", 0), 0u);
    }
    // Unset and empty are the same: a store's agent, nothing said.
    EXPECT_TRUE(read({}).problems.empty());
    EXPECT_TRUE(read({{"QELEXP_TIMER_SECONDS", ""}}).problems.empty());
}

TEST(LabSettings, CrashPointWithAnOptionalArrivalCount) {
    const LabSettings first = read({{"QELEXP_CRASH_AT", "cleanup"}});
    ASSERT_TRUE(first.crashAt);
    EXPECT_EQ(first.crashAt->point, CrashPoint::Cleanup);
    EXPECT_EQ(first.crashAt->occurrence, 1);
    const LabSettings later = read({{"QELEXP_CRASH_AT", "ack-during:12"}});
    ASSERT_TRUE(later.crashAt);
    EXPECT_EQ(later.crashAt->point, CrashPoint::AckDuring);
    EXPECT_EQ(later.crashAt->occurrence, 12);
    for (const char* bad : {"ack-during:0", "ack-during:", "Ack-before", "ack-after:2x",
                            "ack-before:-1", "ack", "cleanup:1:2"}) {
        SCOPED_TRACE(bad);
        const LabSettings s = read({{"QELEXP_CRASH_AT", bad}});
        EXPECT_FALSE(s.crashAt);
        EXPECT_EQ(s.problems.size(), 1u);
    }
}

}  // namespace
}  // namespace qel::app

namespace qel::app {
namespace {

// A number is read from at most twelve characters, leading zeros included.
TEST(LabSettings, NumbersOfTwelveCharactersAndNoMore) {
    EXPECT_EQ(read({{"QELEXP_TIMER_SECONDS", "000000000060"}}).timerPeriod,
              std::chrono::seconds(60));
    EXPECT_FALSE(read({{"QELEXP_TIMER_SECONDS", "0000000000060"}}).timerPeriod);
    EXPECT_EQ(read({{"QELEXP_CRASH_AT", "cleanup:000000000002"}}).crashAt->occurrence, 2);
    EXPECT_FALSE(read({{"QELEXP_CRASH_AT", "cleanup:0000000000002"}}).crashAt);
}

}  // namespace
}  // namespace qel::app
