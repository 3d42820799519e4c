#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/datetime.h"
#include "core/error.h"

using qel::DateTime;

TEST(DateTime, ValueZeroIsMidnightOfTheEpoch) {
    const DateTime zero(0.0);
    EXPECT_EQ(zero.toFullText(), "30/12/1899 00:00:00");
    EXPECT_EQ(zero.toIso(), "1899-12-30 00:00:00.000");
    EXPECT_EQ(DateTime::fromDate(1899, 12, 30).value(), 0.0);
    EXPECT_EQ(DateTime::fromDate(1900, 1, 1).value(), 2.0);
    EXPECT_EQ(DateTime::fromDateTime(1899, 12, 30, 12, 0, 0).value(), 0.5);
}

TEST(DateTime, NegativeValuesCountDaysBeforeTheEpochWithPositiveTime) {
    // -1.25 is 29/12/1899 06:00, the platform's convention.
    const DateTime t(-1.25);
    EXPECT_EQ(t.toFullText(), "29/12/1899 06:00:00");
    EXPECT_EQ(DateTime::fromDateTime(1899, 12, 29, 6, 0, 0).value(), -1.25);
}

TEST(DateTime, FormatsTheSystemsPatterns) {
    const DateTime t = DateTime::fromDateTime(2026, 12, 6, 9, 52, 13, 45);
    EXPECT_EQ(t.format("DDMMYY"), "061226");
    EXPECT_EQ(t.format("dd/mm/yyyy hh:nn:ss"), "06/12/2026 09:52:13");
    EXPECT_EQ(t.format("dd-mm-yyyy hh-nn-ss"), "06-12-2026 09-52-13");
    EXPECT_EQ(t.format("DD/MM/YYYY"), "06/12/2026");
    EXPECT_EQ(t.format("hh:mm"), "09:52");  // mm after hh is minutes
    EXPECT_EQ(t.toText(), "06/12/2026 09:52:13");
    EXPECT_EQ(t.toDateText(), "06/12/2026");
    EXPECT_EQ(t.toIso(), "2026-12-06 09:52:13.045");
    // The default text leaves out a time of exactly midnight, as the platform does.
    EXPECT_EQ(t.date().toText(), "06/12/2026");
}

TEST(DateTime, RoundTripsThroughTextToTheMillisecond) {
    for (const DateTime t :
         {DateTime(0.0), DateTime::fromDateTime(2026, 12, 6, 23, 59, 59, 999),
          DateTime::fromDateTime(2000, 2, 29, 0, 0, 0, 1), DateTime::fromDate(9999, 12, 31)}) {
        EXPECT_EQ(DateTime::parse(t.toIso()), t) << t.toIso();
        EXPECT_EQ(DateTime::parse(t.format("dd/mm/yyyy hh:nn:ss.zzz")), t);
    }
    EXPECT_EQ(DateTime::parse("06/12/2026 00:00"), DateTime::fromDate(2026, 12, 6));
    EXPECT_EQ(DateTime::parse("6/1/2026"), DateTime::fromDate(2026, 1, 6));
    EXPECT_EQ(DateTime::parse("2026-12-06T10:11:12"),
              DateTime::fromDateTime(2026, 12, 6, 10, 11, 12));
}

TEST(DateTime, RejectsMalformedAndImpossibleDates) {
    for (const char* bad : {"", "   ", "31/02/2026", "2026-13-01", "06/12/2026 24:00",
                            "06/12/2026 10:60", "06-12-2026", "hoje", "06/12/2026 10:00 x"}) {
        EXPECT_THROW(DateTime::parse(bad), qel::ConversionError) << bad;
    }
}

TEST(DateTime, RoundsToTheNearestDay) {
    const DateTime before = DateTime::fromDateTime(2026, 12, 6, 11, 59, 59);
    const DateTime after = DateTime::fromDateTime(2026, 12, 6, 12, 0, 1);
    EXPECT_EQ(before.roundToDay(), DateTime::fromDate(2026, 12, 6));
    EXPECT_EQ(after.roundToDay(), DateTime::fromDate(2026, 12, 7));
    EXPECT_EQ(after.date(), DateTime::fromDate(2026, 12, 6));
    EXPECT_EQ(DateTime::fromDate(2026, 12, 6).addDays(-30), DateTime::fromDate(2026, 11, 6));
}

TEST(ManualClock, SleepAdvancesInstantly) {
    qel::ManualClock clock(DateTime::fromDateTime(2026, 12, 6, 23, 59, 0));
    clock.sleepFor(std::chrono::minutes(2));
    EXPECT_EQ(clock.now().toFullText(), "07/12/2026 00:01:00");
    EXPECT_EQ(clock.today(), DateTime::fromDate(2026, 12, 7));
}
