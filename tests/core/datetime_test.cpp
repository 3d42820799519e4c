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

TEST(DateTime, CenturyYearsAreLeapOnlyWhenDivisibleBy400) {
    for (const char* bad : {"29/02/1900", "29/02/2100", "29/02/2026", "1900-02-29"}) {
        EXPECT_THROW(DateTime::parse(bad), qel::ConversionError) << bad;
    }
    EXPECT_EQ(DateTime::parse("29/02/2000"), DateTime::fromDate(2000, 2, 29));
    EXPECT_EQ(DateTime::parse("29/02/2024"), DateTime::fromDate(2024, 2, 29));
    // 1900-03-01 is the platform's day 61: 28 February 1900 is day 60.
    EXPECT_EQ(DateTime::fromDate(1900, 3, 1).value(), 61.0);
    for (const int year : {1900, 2000, 2100, 2400}) {
        const double days =
            DateTime::fromDate(year, 3, 1).value() - DateTime::fromDate(year, 2, 28).value();
        EXPECT_EQ(days, year % 400 == 0 ? 2.0 : 1.0) << year;
        // The value reads back as the same day, and one day less is the last of February.
        EXPECT_EQ(DateTime::fromDate(year, 3, 1).toDateText(), "01/03/" + std::to_string(year));
        EXPECT_EQ(
            DateTime::fromDate(year, 3, 1).addDays(-1).toDateText(),
            year % 400 == 0 ? "29/02/" + std::to_string(year) : "28/02/" + std::to_string(year));
    }
    EXPECT_EQ(DateTime::fromDate(2100, 3, 1).value() - DateTime::fromDate(2100, 1, 1).value(),
              59.0);
    EXPECT_EQ(DateTime::fromDate(2101, 1, 1).value() - DateTime::fromDate(2100, 1, 1).value(),
              365.0);
    EXPECT_EQ(DateTime::fromDate(2001, 1, 1).value() - DateTime::fromDate(2000, 1, 1).value(),
              366.0);
}

TEST(DateTime, ATimeThatRoundsToMidnightCarriesIntoTheNextDay) {
    // Less than half a millisecond before midnight.
    const double almost = 1.0 - 0.4 / 86'400'000.0;
    const DateTime late(DateTime::fromDate(2026, 12, 31).value() + almost);
    EXPECT_EQ(late.toIso(), "2027-01-01 00:00:00.000");
    EXPECT_EQ(late.toFullText(), "01/01/2027 00:00:00");
    EXPECT_FALSE(late.hasTimeOfDay());
    // Before the epoch the time counts forward from the day: -1.99999999 is
    // just before midnight of 29/12/1899, so it carries into 30/12/1899.
    const DateTime early(-2.0 + 0.4 / 86'400'000.0);
    EXPECT_EQ(early.toIso(), "1899-12-30 00:00:00.000");
    const DateTime earlier(-3.0 + 0.4 / 86'400'000.0);
    EXPECT_EQ(earlier.toIso(), "1899-12-29 00:00:00.000");
    // Just over half a millisecond before midnight stays on its day.
    const DateTime last(DateTime::fromDate(2026, 12, 31).value() + 1.0 - 0.6 / 86'400'000.0);
    EXPECT_EQ(last.toIso(), "2026-12-31 23:59:59.999");
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
