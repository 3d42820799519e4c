// The registry value that turns on the daily reconciliation after a run: a
// whole number of days from 0 to its most, blanks around it allowed, nothing
// else; missing or blank it is 0 (off).

#include <gtest/gtest.h>

#include "../station_fixture.h"
#include "core/error.h"
#include "export/day_reconciliation.h"

namespace qel::testing {
namespace {

class ReconcileSetting : public StationFixture {
  protected:
    int setting(const std::string& lines) {
        writeRegistry(lines);
        return agent::reconcileDaysSetting(*platform);
    }
};

TEST_F(ReconcileSetting, AWholeNumberOfDaysFromZeroToItsMost) {
    EXPECT_EQ(setting(""), 0);
    EXPECT_EQ(setting("ReconcileDays = \n"), 0);
    EXPECT_EQ(setting("ReconcileDays = 0\n"), 0);
    EXPECT_EQ(setting("ReconcileDays = 1\n"), 1);
    EXPECT_EQ(setting("ReconcileDays =  31 \n"), 31);
    EXPECT_EQ(setting("ReconcileDays = " + std::to_string(agent::kReconcileDaysMost) + "\n"),
              agent::kReconcileDaysMost);
    for (const std::string& refused :
         {std::to_string(agent::kReconcileDaysMost + 1), std::string("-1"), std::string("31x"),
          std::string("x31"), std::string("3 1"), std::string("+5"), std::string("99999999999")}) {
        try {
            setting("ReconcileDays = " + refused + "\n");
            ADD_FAILURE() << refused << " was taken";
        } catch (const ConfigError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Registry value ReconcileDays must be a number of days (0 to 3660), not '" +
                          refused + "'");
        }
    }
}

}  // namespace
}  // namespace qel::testing
