// What only the embedded backend does: WAL and lock waiting, sibling
// catalogues, typing of expression columns, exact decimals.
#include <sqlite3.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <chrono>

#include "core/error.h"
#include "db/connection.h"
#include "temp_folder.h"

namespace qel::db {
namespace {

using ::testing::HasSubstr;

class SqliteBackendTest : public ::testing::Test {
  protected:
    SqliteBackendTest() : db(clock, connectionString("QELCAIXA"), options()) {}

    std::string connectionString(const std::string& catalog) const {
        return "Provider=SQLite;Data Source=" + folder.string() + ";Initial Catalog=" + catalog;
    }
    static ConnectionOptions options() {
        ConnectionOptions o;
        o.createDatabase = true;
        return o;
    }

    testing::TempFolder folder;
    ManualClock clock{DateTime::fromDateTime(2026, 12, 6, 9, 52, 13, 250)};
    Connection db;
};

TEST_F(SqliteBackendTest, OpensInWalModeAndRefusesAMissingFileUnlessAskedToCreate) {
    EXPECT_EQ(db.query("PRAGMA journal_mode").rows()[0][0].asString(), "wal");
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "QELCAIXA.db"));

    Connection missing(clock, connectionString("NOPE"));
    try {
        missing.open();
        FAIL() << "opened a database that does not exist";
    } catch (const DatabaseError& e) {
        EXPECT_THAT(e.what(), HasSubstr("NOPE.db"));
    }
    EXPECT_FALSE(missing.connected());
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "NOPE.db"));
}

TEST_F(SqliteBackendTest, AnIndexHintOnAMissingIndexRunsWithoutTheHint) {
    db.execute("CREATE TABLE T (A VARCHAR(4), F CHAR(1))");
    db.execute("INSERT INTO T VALUES ('x', 'N'), ('y', 'S')");
    const std::string sql = "SELECT A FROM T INDEXED BY IX_T_WAITING WHERE F <> 'S'";
    // An older database without the index: the hint is dropped, every
    // time the text runs (a cached and a fresh statement alike).
    for (int run = 0; run < 2; ++run) {
        const Dataset d = db.query(sql);
        ASSERT_EQ(d.recordCount(), 1u);
        EXPECT_EQ(d.rows()[0][0], Variant("x"));
    }
    db.close();
    db.execute("CREATE INDEX IX_T_WAITING ON T (A) WHERE F <> 'S'");
    EXPECT_EQ(db.query("EXPLAIN QUERY PLAN " + sql).rows()[0][3].asString(),
              "SCAN T USING INDEX IX_T_WAITING");
    EXPECT_EQ(db.query(sql).recordCount(), 1u);
    // Any other error is still raised.
    EXPECT_THROW(db.query("SELECT A FROM T INDEXED BY IX_T_WAITING WHERE NOPE = 1"), DatabaseError);
}

TEST_F(SqliteBackendTest, AReadSnapshotSeesOneStateAndGivesWayToATransaction) {
    db.execute("CREATE TABLE T (A INTEGER)");
    db.execute("INSERT INTO T VALUES (1)");
    Connection writer(clock, connectionString("QELCAIXA"));
    const auto count = [&] { return db.query("SELECT COUNT(*) FROM T").rows()[0][0].asInteger(); };
    {
        ReadSnapshot snapshot(db);
        EXPECT_FALSE(db.inTransaction());
        EXPECT_EQ(count(), 1);
        writer.execute("INSERT INTO T VALUES (2)");  // not blocked by the reader
        EXPECT_EQ(count(), 1);
        // A transaction begun inside ends the snapshot and sees the write.
        db.startTransaction();
        EXPECT_TRUE(db.inTransaction());
        EXPECT_EQ(count(), 2);
        db.execute("INSERT INTO T VALUES (3)");
        db.commitTransaction();
    }
    EXPECT_FALSE(db.inTransaction());
    writer.execute("INSERT INTO T VALUES (4)");
    EXPECT_EQ(count(), 4);
    {
        ReadSnapshot snapshot(db);
        EXPECT_EQ(count(), 4);
    }
    writer.execute("INSERT INTO T VALUES (5)");
    EXPECT_EQ(count(), 5);  // the snapshot ended with its scope
}

TEST_F(SqliteBackendTest, ExpressionColumnsAreTypedByTheirValues) {
    db.execute("CREATE TABLE E (D DATETIME, V DECIMAL(15,2), S VARCHAR(10))");
    db.execute("INSERT INTO E VALUES ('2026-12-06 09:52:13.250', 1.5, 'a')");
    db.execute("INSERT INTO E VALUES ('2026-12-05 08:00:00.000', 2, 'b')");
    const Dataset d = db.query(
        "SELECT COUNT(*) AS CONT, MAX(D) AS DTULTATU, SUM(V) AS TOTAL, MAX(S) AS S, "
        "NULL AS NADA, 1 AS MIXED FROM E UNION ALL SELECT 0, 'x', 0.5, NULL, NULL, 'y'");
    ASSERT_EQ(d.recordCount(), 2u);
    const auto& f = d.fields();
    EXPECT_EQ(f[0].type, FieldType::Integer);
    // 'x' is not in the stored date-time form, so the column is text.
    EXPECT_EQ(f[1].type, FieldType::String);
    EXPECT_EQ(f[2].type, FieldType::Float);
    EXPECT_EQ(f[3].type, FieldType::String);
    EXPECT_EQ(f[4].type, FieldType::String);
    EXPECT_EQ(f[5].type, FieldType::String);
    EXPECT_EQ(d.rows()[0][5], Variant("1"));

    const Dataset last = db.query("SELECT COUNT(*) AS CONT, MAX(D) AS DTULTATU FROM E");
    EXPECT_EQ(last.fields()[1].type, FieldType::DateTime);
    EXPECT_EQ(last.rows()[0][1], Variant(DateTime::fromDateTime(2026, 12, 6, 9, 52, 13, 250)));
    const Dataset none = db.query("SELECT MAX(D) AS DTULTATU FROM E WHERE 0");
    EXPECT_TRUE(none.rows()[0][0].isNull());
}

TEST_F(SqliteBackendTest, DecimalsReadBackExactlyWhateverTheStorage) {
    db.execute("CREATE TABLE M (V DECIMAL(18,2), P MONEY)");
    // An integer beyond a double's 53 bits, and reals that no double holds exactly.
    db.execute("INSERT INTO M VALUES (9007199254740993, 3)");
    db.execute("INSERT INTO M VALUES (0.1, 0.29)");
    db.execute("INSERT INTO M VALUES (:V, :P)", {{"V", Decimal{-1234567890123, 2}}, {"P", 1.0005}});
    const Dataset d = db.query("SELECT V, P FROM M");
    EXPECT_EQ(d.fields()[0].scale, 2);
    EXPECT_EQ(d.fields()[1].scale, 4);
    EXPECT_EQ(d.rows()[0][0], Variant(Decimal{900719925474099300, 2}));
    EXPECT_EQ(d.rows()[0][1], Variant(Decimal{30000, 4}));
    EXPECT_EQ(d.rows()[1][0], Variant(Decimal{10, 2}));
    EXPECT_EQ(d.rows()[1][1], Variant(Decimal{2900, 4}));
    EXPECT_EQ(d.rows()[2][0], Variant(Decimal{-1234567890123, 2}));
    EXPECT_EQ(d.rows()[2][1], Variant(Decimal{10005, 4}));
}

TEST_F(SqliteBackendTest, SiblingCatalogueIsReachableByItsName) {
    {
        Connection central(clock, connectionString("QELCENTRAL"), options());
        central.execute("CREATE TABLE CONSUMIDOR (CDCONSUMIDOR VARCHAR(21))");
        central.execute("INSERT INTO CONSUMIDOR VALUES ('42')");
    }
    db.attachCatalog("QELCENTRAL");
    db.attachCatalog("qelcentral");  // once is enough
    EXPECT_EQ(db.query("SELECT CDCONSUMIDOR FROM QELCENTRAL.CONSUMIDOR").recordCount(), 1u);
    // Attached again after a reopen.
    db.close();
    EXPECT_EQ(db.query("SELECT CDCONSUMIDOR FROM QELCENTRAL.CONSUMIDOR").recordCount(), 1u);

    Connection strict(clock, connectionString("QELCAIXA"));
    strict.open();
    EXPECT_THROW(strict.attachCatalog("NOPE"), DatabaseError);
}

TEST_F(SqliteBackendTest, StatementsBuiltAtRunTimeAndMultiStatementTexts) {
    db.execute("CREATE TABLE A (X INT); CREATE TABLE B (X INT);");
    EXPECT_EQ(db.execute("INSERT INTO A VALUES (:V); INSERT INTO B VALUES (:V)", {{"V", 1}}), 2);
    EXPECT_EQ(db.execute("UPDATE A SET X = X + 1"), 1);
    EXPECT_EQ(db.execute("CREATE INDEX IA ON A (X)"), 0);
    EXPECT_THROW(db.query("SELECT ?"), DatabaseError);  // nameless parameters are refused
}

#if defined(QEL_HAVE_SQLSERVER_FUNCTIONS)
TEST_F(SqliteBackendTest, GetDateFollowsTheConnectionClock) {
    EXPECT_EQ(db.query("SELECT GETDATE() AS AGORA").rows()[0][0],
              Variant(DateTime::fromDateTime(2026, 12, 6, 9, 52, 13, 250)));
    clock.advance(std::chrono::minutes(2));
    EXPECT_EQ(db.query("SELECT GETDATE() AS AGORA").rows()[0][0],
              Variant(DateTime::fromDateTime(2026, 12, 6, 9, 54, 13, 250)));
}
#endif

#ifndef _WIN32
// Another process (the point-of-sale program) holds the write lock for a
// while; the agent's transaction waits for it instead of failing.
TEST_F(SqliteBackendTest, WaitsForAWriteLockHeldByAnotherProcess) {
    db.execute("CREATE TABLE VENDA (NRSEQVENDA INT)");
    const std::string path = (folder.path() / "QELCAIXA.db").string();
    db.close();

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        sqlite3* other = nullptr;
        bool ok = sqlite3_open(path.c_str(), &other) == SQLITE_OK &&
                  sqlite3_exec(other, "BEGIN IMMEDIATE; INSERT INTO VENDA VALUES (1)", nullptr,
                               nullptr, nullptr) == SQLITE_OK;
        const char signal = ok ? '1' : '0';
        ok = write(ready[1], &signal, 1) == 1 && ok;
        usleep(400'000);
        ok = sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
        sqlite3_close(other);
        _exit(ok ? 0 : 1);
    }
    close(ready[1]);
    char signal = 0;
    ASSERT_EQ(read(ready[0], &signal, 1), 1);
    close(ready[0]);
    ASSERT_EQ(signal, '1');

    const auto start = std::chrono::steady_clock::now();
    db.startTransaction();
    db.execute("INSERT INTO VENDA VALUES (2)");
    db.commitTransaction();
    const auto waited = std::chrono::steady_clock::now() - start;

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    EXPECT_EQ(db.query("SELECT COUNT(*) AS N FROM VENDA").rows()[0][0], Variant(std::int64_t{2}));
}
#endif

TEST_F(SqliteBackendTest, GivesUpWithTheEngineMessageAfterTheBusyTimeout) {
    db.execute("CREATE TABLE VENDA (NRSEQVENDA INT)");
    ConnectionOptions impatient;
    impatient.busyTimeout = std::chrono::milliseconds(50);
    Connection other(clock, connectionString("QELCAIXA"), impatient);
    db.startTransaction();
    db.execute("INSERT INTO VENDA VALUES (1)");
    try {
        other.startTransaction();
        FAIL() << "took a write lock held by another connection";
    } catch (const DatabaseError& e) {
        EXPECT_THAT(e.what(), HasSubstr("database is locked"));
    }
    EXPECT_FALSE(other.inTransaction());
    db.commitTransaction();
}

}  // namespace
}  // namespace qel::db
