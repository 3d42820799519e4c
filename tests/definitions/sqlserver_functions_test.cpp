#include "db/sqlite/sqlserver_functions.h"

#include <gtest/gtest.h>

#include <chrono>

#include "test_database.h"

namespace qel::db::sqlite {
namespace {

using definitions::testing::TestDatabase;

class SqlServerFunctions : public ::testing::Test {
  protected:
    ManualClock clock{DateTime::fromDateTime(2026, 12, 6, 9, 52, 13, 250)};
    TestDatabase db{clock};

    std::string eval(const std::string& expression) { return db.column("SELECT " + expression); }
};

TEST_F(SqlServerFunctions, GetDateFollowsTheClock) {
    EXPECT_EQ(eval("GETDATE()"), "2026-12-06 09:52:13.250");
    clock.advance(std::chrono::minutes(10));
    EXPECT_EQ(eval("GETDATE()"), "2026-12-06 10:02:13.250");
}

TEST_F(SqlServerFunctions, DateDiffCountsBoundariesCrossed) {
    EXPECT_EQ(eval("DATEDIFF('mi', '2026-12-06 10:00:59.999', '2026-12-06 10:01:00.000')"), "1");
    EXPECT_EQ(eval("DATEDIFF('mi', '2026-12-06 10:00:00.000', '2026-12-06 10:00:59.999')"), "0");
    EXPECT_EQ(eval("DATEDIFF('MI', '2026-12-06 10:01:00.000', '2026-12-06 10:00:00.000')"), "-1");
    EXPECT_EQ(eval("DATEDIFF('hh', '2026-12-06 09:59:59.000', '2026-12-06 10:00:00.000')"), "1");
    EXPECT_EQ(eval("DATEDIFF('dd', '2026-12-31 23:59:59.000', '2027-01-01 00:00:00.000')"), "1");
    EXPECT_EQ(eval("DATEDIFF('ss', '2026-12-06 10:00:00.999', '2026-12-06 10:00:01.000')"), "1");
    EXPECT_EQ(eval("DATEDIFF('mm', '2026-01-31 00:00:00.000', '2026-02-01 00:00:00.000')"), "1");
    EXPECT_EQ(eval("DATEDIFF('mi', NULL, GETDATE()) IS NULL"), "1");
    // Across midnight and a leap day, from a dd/mm/yyyy text as well.
    EXPECT_EQ(eval("DATEDIFF('mi', '28/02/2028 23:59:00', '2028-03-01 00:00:00.000')"), "1441");
}

TEST_F(SqlServerFunctions, DateAddAndDatePart) {
    EXPECT_EQ(eval("DATEADD('ms', -DATEPART('ms', '2026-12-06 09:52:13.250'), "
                   "'2026-12-06 09:52:13.250')"),
              "2026-12-06 09:52:13.000");
    EXPECT_EQ(eval("DATEADD('dd', -30, '2026-03-01 08:00:00.000')"), "2026-01-30 08:00:00.000");
    EXPECT_EQ(eval("DATEADD('mm', 1, '2026-01-31 08:00:00.000')"), "2026-02-28 08:00:00.000");
    EXPECT_EQ(eval("DATEADD('mi', 90, '2026-12-31 23:00:00.000')"), "2027-01-01 00:30:00.000");
    EXPECT_EQ(eval("DATEPART('hh', '2026-12-06 09:52:13.250')"), "9");
}

TEST_F(SqlServerFunctions, ConvertStyles) {
    const std::string t = "'2026-03-07 08:05:09.120'";
    EXPECT_EQ(eval("CONVERT_STYLE(" + t + ", 103)"), "07/03/2026");
    EXPECT_EQ(eval("CONVERT_STYLE(" + t + ", 108)"), "08:05:09");
    EXPECT_EQ(eval("CONVERT_STYLE(" + t + ", 120)"), "2026-03-07 08:05:09");
    EXPECT_EQ(eval("CONVERT_STYLE(" + t + ", 121)"), "2026-03-07 08:05:09.120");
    EXPECT_EQ(eval("CONVERT_STYLE(" + t + ", 112)"), "20260307");
    // Every field keeps its leading zeros, a three-digit year included.
    EXPECT_EQ(eval("CONVERT_STYLE('0987-01-02 03:04:05.006', 121)"), "0987-01-02 03:04:05.006");
    EXPECT_EQ(eval("CONVERT_STYLE('0987-01-02 03:04:05.006', 103)"), "02/01/0987");
    EXPECT_EQ(eval("CONVERT_STYLE(NULL, 103) IS NULL"), "1");
    EXPECT_EQ(db.prepareError("SELECT CONVERT_STYLE('x', 103)"), "");
    EXPECT_NE(sqlite3_exec(db.handle(), "SELECT CONVERT_STYLE('not a date', 103)", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
}

TEST_F(SqlServerFunctions, CastDateTimeAcceptsTheStationTextsAndRejectsOthers) {
    EXPECT_EQ(eval("CAST_DATETIME('06/12/2026 09:52:13')"), "2026-12-06 09:52:13.000");
    EXPECT_EQ(eval("CAST_DATETIME('2026-12-06 09:52:13')"), "2026-12-06 09:52:13.000");
    EXPECT_NE(
        sqlite3_exec(db.handle(), "SELECT CAST_DATETIME('31/02/2026')", nullptr, nullptr, nullptr),
        SQLITE_OK);
}

TEST_F(SqlServerFunctions, TruncationKeepsTheDecimalValue) {
    EXPECT_EQ(eval("ROUND_TRUNC(0.29, 2)"), "0.29");
    EXPECT_EQ(eval("ROUND_TRUNC(1.15, 2)"), "1.15");
    EXPECT_EQ(eval("ROUND_TRUNC(9.999, 2)"), "9.99");
    EXPECT_EQ(eval("ROUND_TRUNC(3 * 3.333, 2)"), "9.99");
    EXPECT_EQ(eval("ROUND_TRUNC(-1.239, 2)"), "-1.23");
    EXPECT_EQ(eval("ROUND_TRUNC(0.1 + 0.2, 2)"), "0.3");
    EXPECT_EQ(eval("ROUND_TRUNC(7, 2)"), "7");
    EXPECT_EQ(eval("ROUND_TRUNC(NULL, 2) IS NULL"), "1");
}

TEST_F(SqlServerFunctions, HalfRoundingIsDecimal) {
    // 2.675 is 2.67499999... in binary; as a decimal it rounds up.
    EXPECT_EQ(eval("ROUND_HALF(2.675, 2)"), "2.68");
    EXPECT_EQ(eval("ROUND_HALF(-2.675, 2)"), "-2.68");
    EXPECT_EQ(eval("ROUND_HALF(2.674, 2)"), "2.67");
}

TEST_F(SqlServerFunctions, LenIgnoresTrailingBlanksAndCountsCharacters) {
    EXPECT_EQ(eval("LEN('abc  ')"), "3");
    EXPECT_EQ(eval("LEN('  abc')"), "5");
    EXPECT_EQ(eval("LEN('')"), "0");
    EXPECT_EQ(eval("LEN('ação')"), "4");
    EXPECT_EQ(eval("LEN(NULL) IS NULL"), "1");
}

TEST_F(SqlServerFunctions, CharIndexFindsSubstrings) {
    EXPECT_EQ(eval("CHARINDEX('1', '10_12')"), "1");
    EXPECT_EQ(eval("CHARINDEX('12', '10_12')"), "4");
    EXPECT_EQ(eval("CHARINDEX('05', '10_12')"), "0");
    EXPECT_EQ(eval("CHARINDEX('1', '10_12', 2)"), "4");
    EXPECT_EQ(eval("CHARINDEX('', '10_12')"), "0");
    EXPECT_EQ(eval("CHARINDEX('1', NULL) IS NULL"), "1");
}

}  // namespace
}  // namespace qel::db::sqlite
