#include "db/connection_string.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/error.h"

namespace qel::db {
namespace {

TEST(ConnectionPropertiesTest, KeysIgnoreCaseAndValuesMayBeQuoted) {
    const auto props = ConnectionProperties::parse(
        " provider = SQLOLEDB.1 ;Password=\"a;b\"\"c\";User ID='sa';initial catalog=QELCAIXA;"
        "Data Source={srv;1};;");
    EXPECT_EQ(props.get("Provider"), "SQLOLEDB.1");
    EXPECT_EQ(props.get("PASSWORD"), "a;b\"c");
    EXPECT_EQ(props.get("user id"), "sa");
    EXPECT_EQ(props.get("Initial Catalog"), "QELCAIXA");
    EXPECT_EQ(props.get("Data Source"), "srv;1");
    EXPECT_EQ(props.get("Missing"), "");
    EXPECT_THROW(ConnectionProperties::parse("Provider=SQLite;garbage"), DatabaseError);
    EXPECT_THROW(ConnectionProperties::parse("Password=\"open"), DatabaseError);
}

TEST(ResolveConnectionStringTest, SqlServerProvidersBuildAnOdbcString) {
    const std::string station =
        "Provider=SQLOLEDB.1;Password=s3cr;et;Persist Security Info=True;User ID=sa;"
        "Initial Catalog=QELCAIXA;Data Source=CAIXA01\\MSDE";
    // A ';' inside an unquoted password would split it: the station strings quote it.
    EXPECT_THROW(resolveConnectionString(station, {}), DatabaseError);

    const ConnectionTarget target = resolveConnectionString(
        "Provider=SQLOLEDB.1;Password=\"s3cr;et\";Persist Security Info=True;User ID=sa;"
        "Initial Catalog=QELCAIXA;Data Source=CAIXA01\\MSDE",
        {});
    EXPECT_EQ(target.backend, BackendKind::Odbc);
    EXPECT_EQ(target.dialect, Dialect::SqlServer);
    EXPECT_EQ(target.odbcConnectionString,
              "DRIVER={ODBC Driver 18 for SQL Server};SERVER=CAIXA01\\MSDE;DATABASE=QELCAIXA;"
              "UID=sa;PWD={s3cr;et};Encrypt=no;");

    ConnectionOptions freetds;
    freetds.sqlServerDriver = "FreeTDS";
    for (const char* provider : {"SQLOLEDB", "MSOLEDBSQL", "SQLNCLI11"}) {
        const ConnectionTarget t = resolveConnectionString(
            std::string("Provider=") + provider +
                ";Integrated Security=SSPI;Initial Catalog=QELCAIXA;Data Source=srv",
            freetds);
        EXPECT_EQ(t.odbcConnectionString,
                  "DRIVER={FreeTDS};SERVER=srv;DATABASE=QELCAIXA;Trusted_Connection=yes;")
            << provider;
    }
}

TEST(ResolveConnectionStringTest, EmbeddedCatalogIsAFileInTheFolder) {
    ConnectionTarget t =
        resolveConnectionString("Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=/data", {});
    EXPECT_EQ(t.backend, BackendKind::Sqlite);
    EXPECT_EQ(t.dialect, Dialect::Sqlite);
    EXPECT_EQ(t.folder, "/data");
    // The folder's own separator on each system ("\" on Windows).
    EXPECT_EQ(t.databasePath, (std::filesystem::path("/data") / "QELCAIXA.db").string());
    t = resolveConnectionString("Provider=QelSQLite;Initial Catalog=station.DB;Data Source=/d/",
                                {});
    EXPECT_EQ(t.databasePath, "/d/station.DB");
    EXPECT_THROW(resolveConnectionString("Provider=SQLite;Data Source=/data", {}), DatabaseError);
}

TEST(ResolveConnectionStringTest, OdbcFormPassesThroughAndTellsTheDialect) {
    ConnectionTarget t =
        resolveConnectionString("Provider=ODBC;Driver=SQLite3;Database=/tmp/a b.db", {});
    EXPECT_EQ(t.backend, BackendKind::Odbc);
    EXPECT_EQ(t.dialect, Dialect::Sqlite);
    EXPECT_EQ(t.odbcConnectionString, "Driver={SQLite3};Database=/tmp/a b.db;");
    t = resolveConnectionString("Provider=ODBC;DSN=station;Dialect=SQLServer", {});
    EXPECT_EQ(t.dialect, Dialect::SqlServer);
    EXPECT_EQ(t.odbcConnectionString, "DSN=station;");
}

TEST(ResolveConnectionStringTest, UnknownOrMissingProviderFails) {
    EXPECT_THROW(resolveConnectionString("", {}), DatabaseError);
    EXPECT_THROW(resolveConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x", {}),
                 DatabaseError);
}

}  // namespace
}  // namespace qel::db
