// A keyed UPDATE run for many rows at once must change exactly the rows the
// same UPDATE run once per row changes, or fail as the first failing row would.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/error.h"
#include "db/batch_update.h"
#include "db/connection.h"
#include "temp_folder.h"

namespace qel::db {
namespace {

using definitions::Param;
using definitions::ParamType;
using definitions::Statement;
using definitions::StatementKind;

TEST(BatchUpdateShape, KeyTermsAreFoundAndEveryOtherTermKeptAsWritten) {
    const auto update = parseBatchUpdate(
        "UPDATE LOGNFCE SET IDIMPLOGNFCE = 'S', TXT = 'a WHERE b AND c' WHERE CDFILIAL = "
        ":P_CDFILIAL AND\nNRSEQ=:P_NRSEQ AND DT BETWEEN DATEADD(ms, -1, :P_DT) AND DATEADD(ms, 1, "
        ":P_DT) AND IDIMPLOGNFCE <> 'S'");
    ASSERT_TRUE(update);
    EXPECT_EQ(update->head, "UPDATE LOGNFCE SET IDIMPLOGNFCE = 'S', TXT = 'a WHERE b AND c'");
    EXPECT_EQ(update->keyOf, (std::vector<std::string>{"P_CDFILIAL", "P_NRSEQ", "", "", ""}));
    EXPECT_EQ(update->columnOf[1], "NRSEQ");
    EXPECT_EQ(withListTerm(*update, 1, "L"),
              "UPDATE LOGNFCE SET IDIMPLOGNFCE = 'S', TXT = 'a WHERE b AND c' WHERE CDFILIAL = "
              ":P_CDFILIAL AND NRSEQ IN (SELECT value FROM json_each(:L)) AND DT BETWEEN "
              "DATEADD(ms, -1, :P_DT) AND DATEADD(ms, 1, :P_DT) AND IDIMPLOGNFCE <> 'S'");
}

TEST(BatchUpdateShape, OtherStatementsHaveNoListForm) {
    for (const char* sql : {
             "DELETE FROM T WHERE A = :A",
             "UPDATE T SET F = 'S'",
             "UPDATE T SET F = 'S' WHERE A = :A OR B = :B",
             "UPDATE T SET F = 'S' WHERE A IN (SELECT A FROM U WHERE B = :B)",
             "UPDATE T SET F = (SELECT 1) WHERE A = :A",
             "UPDATE T SET F = 'S' WHERE A = :A; UPDATE T SET F = 'N'",
             "UPDATE T SET F = 'S' WHERE A = :A -- note",
             "UPDATE T SET F = 'S' WHERE A = 'x'",
             "UPDATE T SET F = 'S' WHERE A = :A AND",
             "UPDATE T SET F = 'S' WHERE (A = :A",
         }) {
        EXPECT_FALSE(parseBatchUpdate(sql)) << sql;
    }
}

TEST(BatchUpdateShape, JsonStringsEscapeWhatJsonRequires) {
    std::string out;
    appendJsonString(out, std::string("a\"b\\c\n\x01\xC3\xA9", 9));
    EXPECT_EQ(out, "\"a\\\"b\\\\c\\u000a\\u0001\xC3\xA9\"");
}

// The same rows on two files: one updated row by row, one by executeBatch.
class ExecuteBatchTest : public ::testing::Test {
  protected:
    ExecuteBatchTest()
        : byRow(clock, connectionString("BYROW"), options()),
          batched(clock, connectionString("BATCHED"), options()) {
        for (Connection* db : {&byRow, &batched}) {
            db->execute(
                "CREATE TABLE T (A CHAR(4), B VARCHAR(12), N INTEGER, D DATETIME, F CHAR(1), "
                "PRIMARY KEY (A, B))");
            db->execute(
                "INSERT INTO T VALUES ('0001', '1', 1, '2026-12-06 08:00:00.000', 'I'), "
                "('0001', '2', 2, '2026-12-06 08:00:01.000', 'I'), ('0001', 'it''s \\x', 3, "
                "'2026-12-06 08:00:02.000', 'I'), ('0002', '1', 7, '2026-12-06 08:00:03.000', "
                "'I'), ('0002', '3', 8, '2026-12-06 08:00:04.000', 'S'), ('0003', 'é', 9, NULL, "
                "'I')");
        }
        batched.setBeforeStatement([this](std::string_view sql) {
            if (sql.rfind("UPDATE", 0) == 0) ++statements;
        });
    }

    std::string connectionString(const std::string& catalog) const {
        return "Provider=SQLite;Data Source=" + folder.path().string() +
               ";Initial Catalog=" + catalog;
    }
    static ConnectionOptions options() {
        ConnectionOptions o;
        o.createDatabase = true;
        return o;
    }

    // Runs the statement both ways and expects the same table after.
    void same(const Statement& statement, const std::vector<Params>& rows) {
        std::int64_t changedByRow = 0;
        for (const Params& row : rows) changedByRow += byRow.execute(statement, row);
        const std::int64_t changedBatched = batched.executeBatch(statement, rows);
        const char* all = "SELECT A, B, N, D, F FROM T ORDER BY A, B";
        EXPECT_EQ(byRow.query(all), batched.query(all));
        EXPECT_GT(changedBatched, 0);
        EXPECT_LE(changedBatched, changedByRow);  // a row named twice counts once
    }

    testing::TempFolder folder;
    ManualClock clock{DateTime::fromDateTime(2026, 12, 6, 9, 0, 0)};
    Connection byRow;
    Connection batched;
    int statements = 0;  // updates run on `batched`
};

const Statement kFlag{"flag",
                      StatementKind::Command,
                      {Param{"P_A", ParamType::String, 4}, Param{"P_B", ParamType::String, 12}},
                      "",
                      "UPDATE T SET F = 'S' WHERE A = :P_A AND B = :P_B AND F <> 'S'"};

// Keys of two stores, a key named twice, quotes, backslashes, accents, a
// null and a key of no row: one statement per store.
TEST_F(ExecuteBatchTest, RowsDifferingInOneKeyRunAsOneStatementPerValueOfTheOthers) {
    same(kFlag, {{{"P_A", "0001"}, {"P_B", "1"}},
                 {{"P_A", "0001"}, {"P_B", "it's \\x"}},
                 {{"P_A", "0002"}, {"P_B", "1"}},
                 {{"P_A", "0001"}, {"P_B", "1"}},
                 {{"P_A", "0001"}, {"P_B", Variant::null()}},
                 {{"P_A", "0001"}, {"P_B", "404"}},
                 {{"P_A", "0003"}, {"P_B", "é"}},
                 {{"P_A", "0002"}, {"P_B", "3"}}});
    // Three stores, B the key with more values: one statement each.
    EXPECT_EQ(statements, 3);
    EXPECT_EQ(batched.query("SELECT GROUP_CONCAT(F, '') FROM (SELECT F FROM T ORDER BY A, B)")
                  .rows()[0][0]
                  .asString(),
              "SISSSS");
}

// Whole numbers and date-times are compared as the row-by-row statement
// binds them: an integer column takes a text key by its numeric value, a
// date-time key matches the stored text of the same instant.
TEST_F(ExecuteBatchTest, NumbersAndDateTimesNameTheSameRowsAsBoundOneByOne) {
    const Statement byNumber{"n",
                             StatementKind::Command,
                             {Param{"P_N", ParamType::String, 4}},
                             "",
                             "UPDATE T SET F = 'X' WHERE N = :P_N"};
    same(byNumber, {{{"P_N", "07"}}, {{"P_N", "1"}}, {{"P_N", "2.0"}}});
    const Statement byInteger{"i",
                              StatementKind::Command,
                              {Param{"P_N", ParamType::Integer}},
                              "",
                              "UPDATE T SET F = 'Y' WHERE N = :P_N"};
    same(byInteger, {{{"P_N", 8}}, {{"P_N", "9"}}});
    const Statement byTime{"d",
                           StatementKind::Command,
                           {Param{"P_D", ParamType::DateTime}},
                           "",
                           "UPDATE T SET F = 'Z' WHERE D = :P_D"};
    same(byTime, {{{"P_D", DateTime::fromDateTime(2026, 12, 6, 8, 0, 1)}},
                  {{"P_D", DateTime::fromDateTime(2026, 12, 6, 8, 0, 3)}}});
    EXPECT_EQ(statements, 3);
}

// Rows that set different values must keep their order (the last one wins),
// and a float key cannot travel in the list exactly: both run row by row.
TEST_F(ExecuteBatchTest, DifferingSetValuesAndFloatKeysRunRowByRow) {
    const Statement setting{"s",
                            StatementKind::Command,
                            {Param{"P_F", ParamType::String, 1}, Param{"P_B", ParamType::String}},
                            "",
                            "UPDATE T SET F = :P_F WHERE B = :P_B"};
    same(setting, {{{"P_F", "A"}, {"P_B", "1"}}, {{"P_F", "B"}, {"P_B", "1"}}});
    EXPECT_EQ(statements, 2);
    const Statement byFloat{"f",
                            StatementKind::Command,
                            {Param{"P_N", ParamType::Float}},
                            "",
                            "UPDATE T SET F = 'Q' WHERE N = :P_N"};
    same(byFloat, {{{"P_N", 1.0}}, {{"P_N", 2.0}}});
    EXPECT_EQ(statements, 4);
}

// A value too long for its parameter fails the whole batch with the message
// its own row would give, before anything is changed.
TEST_F(ExecuteBatchTest, AValueTheRowWouldRefuseFailsTheBatchBeforeAnyChange) {
    try {
        batched.executeBatch(
            kFlag, {{{"P_A", "0001"}, {"P_B", "1"}}, {{"P_A", "0001"}, {"P_B", "1234567890123"}}});
        FAIL() << "a 13-character key was taken";
    } catch (const DatabaseError& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("P_B"));
        EXPECT_THAT(e.what(), ::testing::HasSubstr("exceeds its size 12"));
    }
    EXPECT_EQ(statements, 0);
    EXPECT_EQ(batched.query("SELECT COUNT(*) FROM T WHERE F = 'S'").rows()[0][0].asString(), "1");
}

}  // namespace
}  // namespace qel::db
