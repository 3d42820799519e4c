// Which central database and schema names the station accepts from PARAVEND,
// on both sides of every character range and of the length limit, and which
// station connection strings the central connection can be derived from.
#include <gtest/gtest.h>

#include <fstream>

#include "../station_fixture.h"
#include "core/error.h"

using qel::Variant;

namespace {

class CentralNames : public qel::testing::StationFixture {
  protected:
    // Whether the station accepts the names as its central database.
    bool accepted(const std::string& db, const std::string& schema) {
        sql("DELETE FROM PARAVEND");
        sql("INSERT INTO PARAVEND (CDFILIAL, NMSQLNAMEDB, NMSQLSCHEMADB, IDSENCONSCENTRAL)"
            " VALUES ('0001', :DB, :SC, 'S')",
            {{"DB", Variant(db)}, {"SC", Variant(schema)}});
        dm->VerificaSenhaConsCentral("0001");
        return dm->central.isCentral() && dm->central.databaseName == db &&
               dm->central.schemaName == schema;
    }
    std::string connectionFor(const std::string& stationConnection) {
        std::ofstream(dir / "registry.conf")
            << "[Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
            << "StringConexao = " << stationConnection << "\n";
        registryWritten();
        qel::db::Connection probe(clock);
        dm->adcBancoCentralBeforeConnect(probe);
        return probe.connectionString();
    }
};

TEST_F(CentralNames, PlainIdentifiersOnlyOnBothSidesOfEveryRange) {
    // A letter or '_' first; the edges of each range and the characters next to them.
    for (const char* name : {"A", "Z", "a", "z", "_", "Ab", "x0", "x9", "x@", "x#", "x$", "x_"}) {
        EXPECT_TRUE(accepted(name, "")) << name;
        EXPECT_TRUE(accepted("CENTRAL", name)) << "schema " << name;
    }
    for (const char* name : {"0x", "9x", "@x", "#x", "$x", "[x", "`x", "{x", "x/", "x:", "x[", "x`",
                             "x{", "x.", "x-", "x]", "x!", "x%"}) {
        EXPECT_FALSE(accepted(name, "")) << name;
        EXPECT_FALSE(accepted("CENTRAL", name)) << "schema " << name;
    }
    EXPECT_TRUE(accepted(std::string(128, 'a'), std::string(128, 'b')));
    EXPECT_FALSE(accepted(std::string(129, 'a'), ""));
    EXPECT_FALSE(accepted("CENTRAL", std::string(129, 'b')));
    // A refused name is logged as the check's error; an accepted one is not.
    EXPECT_EQ(logCount("ERRO Except VerificaSenhaConsCentral: "), 2u * 18 + 2);
}

// Whatever order the station's settings name them in, the central connection
// is the station's with the catalogue swapped; without both there is none.
TEST_F(CentralNames, TheCentralConnectionSwapsTheCatalogOfEitherOrder) {
    ASSERT_TRUE(accepted("CENTRAL", ""));
    for (const char* stationSettings : {"initial catalog=LOJA;data source=SRV01",
                                        "Data Source=SRV01;User ID=sa;Initial Catalog=LOJA"}) {
        const std::string central = connectionFor(stationSettings);
        EXPECT_NE(central.find("Initial Catalog=CENTRAL;Data Source=SRV01"), std::string::npos)
            << central;
        EXPECT_EQ(central.find("LOJA"), std::string::npos) << central;
    }
    for (const char* refused : {"Initial Catalog=LOJA", "Data Source=SRV01", "User ID=sa"}) {
        EXPECT_THROW(connectionFor(refused), qel::ConfigError) << refused;
    }
}

}  // namespace

namespace {

TEST_F(CentralNames, TheCentralConnectionOpensTheCentralCatalogue) {
    ASSERT_TRUE(accepted("CENTRAL", ""));
    dm->adcBancoCentral.open();
    EXPECT_EQ(dm->adcBancoCentral.connectionString(),
              "Provider=SQLite;Initial Catalog=CENTRAL;Data Source=" + dir.string());
}

}  // namespace

namespace {

// On the server dialect the central table is named by catalogue and schema
// in brackets (an empty schema is the default one); the embedded database
// names the attached catalogue alone, in quotes.
TEST_F(CentralNames, EachDialectNamesTheCentralTableItsOwnWay) {
    ASSERT_TRUE(accepted("CENTRAL", "dbo"));
    EXPECT_NE(dm->adqCliCONSCENTRALBeforeOpen().sql.find(" \"CENTRAL\".SENHACONS SE"),
              std::string::npos);
    dm->adcCaixa.close();
    dm->adcCaixa.setConnectionString("Provider=SQLOLEDB.1;Initial Catalog=LOJA;Data Source=SRV01");
    ASSERT_EQ(dm->adcCaixa.dialect(), qel::db::Dialect::SqlServer);
    const auto statement = dm->adqCliCONSCENTRALBeforeOpen();
    EXPECT_NE(statement.sql.find(" [CENTRAL].[dbo].SENHACONS SE"), std::string::npos);
    EXPECT_EQ(statement.params.size(), 1u);
    dm->central.schemaName.clear();
    EXPECT_NE(dm->adqCliCONSCENTRALBeforeOpen().sql.find(" [CENTRAL]..SENHACONS SE"),
              std::string::npos);
}

}  // namespace
