// One suite, run against every backend: the embedded SQLite backend and the
// ODBC backend (through the SQLite ODBC driver, running the same SQL).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/error.h"
#include "db/connection.h"
#include "temp_folder.h"

namespace qel::db {
namespace {

using definitions::Param;
using definitions::ParamType;
using definitions::Statement;
using definitions::StatementKind;
using ::testing::HasSubstr;

struct EmbeddedBackend {
    static constexpr bool kTypesDecimals = true;
    static std::string connectionString(const testing::TempFolder& folder) {
        return "Provider=SQLite;Data Source=" + folder.string() + ";Initial Catalog=QELCAIXA";
    }
};

// The SQLite ODBC driver describes DECIMAL columns as text (and NUMERIC as
// double), so through it a decimal arrives as its exact text.
struct OdbcBackend {
    static constexpr bool kTypesDecimals = false;
    static std::string connectionString(const testing::TempFolder& folder) {
        return "Provider=ODBC;Driver=SQLite3;Database=" + (folder.path() / "QELCAIXA.db").string();
    }
};

const Statement kInsert{
    "acmInsTeste",
    StatementKind::Command,
    {{"P_ID", ParamType::Integer},
     {"P_NAME", ParamType::String, 40},
     {"P_CODE", ParamType::String, 3},
     {"P_PRICE", ParamType::Float},
     {"P_RATE", ParamType::Float},
     {"P_WHEN", ParamType::DateTime},
     {"P_DAY", ParamType::Date}},
    "",
    "INSERT INTO T (ID, NAME, CODE, PRICE, RATE, WHEN_, DAY_) "
    "VALUES (:P_ID, :P_NAME, :P_CODE, :P_PRICE, :P_RATE, :P_WHEN, :P_DAY)",
};

const Statement kSelectById{
    "adqTeste",
    StatementKind::Query,
    {{"P_ID", ParamType::Integer}},
    "",
    "SELECT ID, NAME, CODE, PRICE, RATE, WHEN_, DAY_ FROM T WHERE ID = :P_ID",
};

template <typename Backend>
class ConnectionSuite : public ::testing::Test {
  protected:
    ConnectionSuite() : db(clock, Backend::connectionString(folder), createOptions()) {
        db.execute(
            "CREATE TABLE T (ID INTEGER PRIMARY KEY, NAME VARCHAR(40), CODE CHAR(3), "
            "PRICE DECIMAL(15,2), RATE FLOAT, WHEN_ DATETIME, DAY_ DATE)");
    }

    static ConnectionOptions createOptions() {
        ConnectionOptions options;
        options.createDatabase = true;
        return options;
    }

    void insert(std::int64_t id, Variant name, Variant code = Variant()) {
        db.execute(kInsert, {{"P_ID", id},
                             {"P_NAME", std::move(name)},
                             {"P_CODE", std::move(code)},
                             {"P_PRICE", Variant()},
                             {"P_RATE", Variant()},
                             {"P_WHEN", Variant()},
                             {"P_DAY", Variant()}});
    }

    std::int64_t count() { return db.query("SELECT COUNT(*) AS N FROM T").field("N").asInteger(); }

    testing::TempFolder folder;
    ManualClock clock;
    Connection db;
};

using Backends = ::testing::Types<EmbeddedBackend, OdbcBackend>;
class BackendNames {
  public:
    template <typename T>
    static std::string GetName(int) {
        return std::is_same_v<T, EmbeddedBackend> ? "Sqlite" : "Odbc";
    }
};
TYPED_TEST_SUITE(ConnectionSuite, Backends, BackendNames);

TYPED_TEST(ConnectionSuite, RepeatedParameterTakesTheSameValueEverywhere) {
    this->insert(1, "A", "001");
    this->insert(2, "B", "001");
    this->insert(3, "C", "002");
    const Statement update{"acmUpd",
                           StatementKind::Command,
                           {{"P_CODE", ParamType::String, 3}},
                           "",
                           "UPDATE T SET NAME = 'X' WHERE CODE = :P_CODE AND ID IN "
                           "(SELECT ID FROM T WHERE CODE = :P_CODE AND ID < 3)"};
    EXPECT_EQ(this->db.execute(update, {{"P_CODE", "001"}}), 2);
    EXPECT_EQ(this->db.execute(update, {{"P_CODE", "009"}}), 0);
    Dataset rows = this->db.query(
        "SELECT ID FROM T WHERE NAME = :NAME OR CODE = :CODE OR NAME = :NAME ORDER BY ID",
        {{"NAME", "X"}, {"CODE", "002"}});
    ASSERT_EQ(rows.recordCount(), 3u);
}

TYPED_TEST(ConnectionSuite, EveryTypeRoundTrips) {
    const DateTime when = DateTime::fromDateTime(2026, 12, 6, 9, 52, 13, 987);
    this->db.execute(kInsert, {{"P_ID", 1},
                               {"P_NAME", "Açaí São João ñ 🙂"},
                               {"P_CODE", "ção"},
                               {"P_PRICE", Decimal{123456789012, 2}},
                               {"P_RATE", 0.125},
                               {"P_WHEN", when},
                               {"P_DAY", when}});
    this->db.execute(kInsert, {{"P_ID", 2},
                               {"P_NAME", Variant::null()},
                               {"P_CODE", Variant()},
                               {"P_PRICE", Decimal{-5, 2}},
                               {"P_RATE", Variant()},
                               {"P_WHEN", DateTime()},
                               {"P_DAY", Variant::null()}});

    Dataset row = this->db.query(kSelectById, {{"P_ID", 1}});
    ASSERT_EQ(row.recordCount(), 1u);
    EXPECT_EQ(row.fields()[1], (FieldDef{"NAME", FieldType::String, 40, 0}));
    EXPECT_EQ(row.fields()[2], (FieldDef{"CODE", FieldType::String, 3, 0}));
    if (TypeParam::kTypesDecimals) {
        EXPECT_EQ(row.fields()[3].type, FieldType::Decimal);
        EXPECT_EQ(row.fields()[3].scale, 2);
        EXPECT_EQ(row.field("PRICE").value().kind(), VariantKind::Decimal);
    }
    EXPECT_EQ(row.fields()[4].type, FieldType::Float);
    EXPECT_EQ(row.fields()[5].type, FieldType::DateTime);
    EXPECT_EQ(row.fields()[6].type, FieldType::Date);

    EXPECT_EQ(row.field("ID").value(), Variant(std::int64_t{1}));
    EXPECT_EQ(row.field("NAME").value(), Variant("Açaí São João ñ 🙂"));
    EXPECT_EQ(row.field("CODE").value(), Variant("ção"));
    EXPECT_EQ(row.field("PRICE").value().asDecimal(2), (Decimal{123456789012, 2}));
    EXPECT_EQ(row.field("RATE").value(), Variant(0.125));
    EXPECT_EQ(row.field("WHEN_").value(), Variant(when));
    EXPECT_EQ(row.field("WHEN_").asDateTime().toIso(), "2026-12-06 09:52:13.987");
    // A Date parameter carries the date part only.
    EXPECT_EQ(row.field("DAY_").value(), Variant(DateTime::fromDate(2026, 12, 6)));

    row = this->db.query(kSelectById, {{"P_ID", 2}});
    ASSERT_EQ(row.recordCount(), 1u);
    for (const char* name : {"NAME", "CODE", "RATE", "DAY_"}) {
        EXPECT_TRUE(row.field(name).value().isNull()) << name;
    }
    EXPECT_EQ(row.field("PRICE").value().asDecimal(2), (Decimal{-5, 2}));
    // Value 0 is 1899-12-30 00:00:00.000, a real date, not a null.
    EXPECT_EQ(row.field("WHEN_").value(), Variant(DateTime()));

    // Date-time parameters compare with stored values to the millisecond.
    const Dataset found = this->db.query("SELECT ID FROM T WHERE WHEN_ = :W", {{"W", when}});
    ASSERT_EQ(found.recordCount(), 1u);
    EXPECT_EQ(found.rows()[0][0], Variant(std::int64_t{1}));
}

TYPED_TEST(ConnectionSuite, RawSqlParametersAreTypedByTheirValues) {
    this->db.execute("INSERT INTO T (ID, NAME, PRICE, RATE) VALUES (:ID, :NAME, :PRICE, :RATE)",
                     {{"ID", std::int64_t{7}},
                      {"NAME", std::string(100, 'x')},
                      {"PRICE", Decimal{1999, 2}},
                      {"RATE", 2.5}});
    const Dataset row =
        this->db.query("SELECT NAME, PRICE, RATE FROM T WHERE ID = :ID", {{":ID", 7}});
    ASSERT_EQ(row.recordCount(), 1u);
    EXPECT_EQ(row.field("NAME").asString().size(), 100u);
    EXPECT_EQ(row.field("PRICE").value().asDecimal(2), (Decimal{1999, 2}));
    EXPECT_EQ(row.field("RATE").asFloat(), 2.5);
}

TYPED_TEST(ConnectionSuite, TooLongStringIsRejectedNotCut) {
    try {
        this->insert(1, "ok", "ABCD");
        FAIL() << "a four-character value for a three-character parameter was accepted";
    } catch (const DatabaseError& e) {
        EXPECT_THAT(e.what(), HasSubstr("P_CODE"));
    }
    EXPECT_EQ(this->count(), 0);
    // The size counts characters, not bytes.
    this->insert(2, "ok", "ção");
    EXPECT_EQ(this->count(), 1);
}

TYPED_TEST(ConnectionSuite, MissingParameterValueOrStatementTextIsAnError) {
    EXPECT_THROW(this->db.query(kSelectById, {}), DatabaseError);
    const Statement serverOnly{"adqSoServidor", StatementKind::Query, {}, "SELECT 1", ""};
    EXPECT_THROW(this->db.query(serverOnly), DatabaseError);
    EXPECT_THROW(this->db.query(kSelectById, {{"P_ID", "not a number"}}), DatabaseError);
}

TYPED_TEST(ConnectionSuite, StartTransactionBeginsOnlyOnceAndCommitsOnce) {
    Connection& c = this->db;
    EXPECT_FALSE(c.inTransaction());
    c.commitTransaction();    // nothing open: no effect, no error
    c.rollbackTransaction();  // likewise
    c.startTransaction();
    this->insert(1, "A");
    c.startTransaction();  // already open: joins it
    this->insert(2, "B");
    EXPECT_TRUE(c.inTransaction());
    c.commitTransaction();
    EXPECT_FALSE(c.inTransaction());
    c.rollbackTransaction();  // nothing left to undo
    EXPECT_EQ(this->count(), 2);
}

TYPED_TEST(ConnectionSuite, RollbackUndoesEveryStatementOfTheTransaction) {
    Connection& c = this->db;
    this->insert(1, "kept");
    c.startTransaction();
    this->insert(2, "A");
    this->insert(3, "B");
    EXPECT_THROW(this->insert(3, "duplicate key"), DatabaseError);
    c.rollbackTransaction();
    EXPECT_FALSE(c.inTransaction());
    EXPECT_EQ(this->count(), 1);
}

TYPED_TEST(ConnectionSuite, DatabaseErrorCarriesTheEngineMessage) {
    try {
        this->db.query("SELECT * FROM NO_SUCH_TABLE");
        FAIL() << "no error";
    } catch (const DatabaseError& e) {
        EXPECT_THAT(e.what(), HasSubstr("no such table: NO_SUCH_TABLE"));
    }
    // The connection stays usable.
    EXPECT_EQ(this->count(), 0);
}

TYPED_TEST(ConnectionSuite, BeforeConnectSetsTheConnectionStringAtEveryOpen) {
    const std::string real = this->db.connectionString();
    this->db.close();
    int calls = 0;
    Connection station(this->clock);
    station.setBeforeConnect([&](Connection& c) {
        ++calls;
        c.setConnectionString(real);
    });
    EXPECT_FALSE(station.connected());
    // Opens implicitly.
    EXPECT_EQ(station.query("SELECT COUNT(*) AS N FROM T").recordCount(), 1u);
    EXPECT_TRUE(station.connected());
    EXPECT_EQ(station.dialect(), Dialect::Sqlite);
    station.open();  // already open: the handler does not run again
    station.close();
    station.open();
    EXPECT_EQ(calls, 2);
    station.close();
    station.close();
    EXPECT_FALSE(station.connected());
}

TYPED_TEST(ConnectionSuite, CloseRollsBackAnOpenTransaction) {
    this->db.startTransaction();
    this->insert(1, "A");
    this->db.close();
    EXPECT_FALSE(this->db.inTransaction());
    EXPECT_EQ(this->count(), 0);
}

}  // namespace
}  // namespace qel::db
