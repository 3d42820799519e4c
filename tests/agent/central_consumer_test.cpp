#include <gtest/gtest.h>

#include "../station_fixture.h"

using qel::Variant;

namespace {

class CentralConsumers : public qel::testing::StationFixture {
  protected:
    void SetUp() override {
        StationFixture::SetUp();
        sql("INSERT INTO CLIENFILIAL (CDCLIENTE, CDFILIAL) VALUES ('C1', '0001'), ('C2', '0002')");
        sql("INSERT INTO CONSUMIDOR (CDCLIENTE, CDCONSUMIDOR, NMCONSUMIDOR, IDATUCONSUMI) VALUES"
            " ('C1', 'K1', 'Ana', 'I'), ('C1', 'K2', 'Bia', 'S'), ('C2', 'K3', 'Cris', 'A')");
        qel::db::Connection centralDb(
            clock, "Provider=SQLite;Initial Catalog=CENTRAL;Data Source=" + dir.string());
        centralDb.execute(
            "INSERT INTO SENHACONS (CDCLIENTE, CDCONSUMIDOR, CDSENHACONS, IDATUCONSUMI)"
            " VALUES ('C1', 'K1', 'segredo', 'N'), ('C2', 'K3', 'x', 'N')");
    }
    void paravend(const std::string& db, const std::string& schema, const std::string& flag) {
        sql("DELETE FROM PARAVEND");
        sql("INSERT INTO PARAVEND (CDFILIAL, NMSQLNAMEDB, NMSQLSCHEMADB, IDSENCONSCENTRAL)"
            " VALUES ('0001', :DB, :SC, :FL)",
            {{"DB", Variant(db)}, {"SC", Variant(schema)}, {"FL", Variant(flag)}});
    }
};

TEST_F(CentralConsumers, CentralFlagReadsPasswordsFromTheSiblingDatabase) {
    paravend("CENTRAL", "dbo", "S");
    dm->VerificaSenhaConsCentral("0001");
    EXPECT_TRUE(dm->central.isCentral());
    EXPECT_TRUE(dm->ExisteDadosExportar(clock.now(), clock.now()));
    const qel::Dataset& consumers = dm->PacotesExportacao.asArray()[0].asPacket();
    ASSERT_EQ(consumers.recordCount(), 1u);
    EXPECT_EQ(consumers.rows()[0][consumers.fieldIndex("CDSENHACENTRAL")].asString(), "segredo");
    EXPECT_EQ(logLines()[1], "Exportação da Tabela CONSUMIDOR: 1");
}

TEST_F(CentralConsumers, OnlyAnExactSIsCentral) {
    for (const char* flag : {"s", "N", ""}) {
        paravend("CENTRAL", "dbo", flag);
        dm->VerificaSenhaConsCentral("0001");
        EXPECT_FALSE(dm->central.isCentral()) << flag;
    }
    dm->ExisteDadosExportar(clock.now(), clock.now());
    const qel::Dataset& consumers = dm->PacotesExportacao.asArray()[0].asPacket();
    EXPECT_EQ(consumers.findField("CDSENHACENTRAL"), -1);
    EXPECT_EQ(consumers.recordCount(), 1u);
}

TEST_F(CentralConsumers, NamesThatAreNotPlainIdentifiersAreRefused) {
    for (const auto& [db, schema] :
         std::vector<std::pair<std::string, std::string>>{{"CENTRAL]; DROP TABLE VENDA; --", "dbo"},
                                                          {"CENTRAL", "dbo'"},
                                                          {"", "dbo"},
                                                          {"CEN TRAL", ""}}) {
        paravend(db, schema, "S");
        dm->VerificaSenhaConsCentral("0001");
        EXPECT_FALSE(dm->central.isCentral()) << db;
        EXPECT_TRUE(dm->central.databaseName.empty());
        EXPECT_EQ(logLines().back().rfind("ERRO Except VerificaSenhaConsCentral: ", 0), 0u);
    }
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = 'VENDA'"), "1");
}

// A failed check after a successful one leaves nothing of the earlier
// settings: whichever way the check fails, the next selection reads the
// local consumers.
TEST_F(CentralConsumers, AFailedCheckAfterASuccessForgetsTheCentralSettings) {
    for (const bool dropTable : {false, true}) {
        paravend("CENTRAL", "dbo", "S");
        dm->VerificaSenhaConsCentral("0001");
        ASSERT_TRUE(dm->central.isCentral());
        if (dropTable) {
            sql("ALTER TABLE PARAVEND RENAME TO PARAVEND_OLD");
        } else {
            paravend("CENTRAL", "dbo;", "S");
        }
        dm->VerificaSenhaConsCentral("0001");
        EXPECT_EQ(dm->central.databaseName, "") << dropTable;
        EXPECT_EQ(dm->central.schemaName, "") << dropTable;
        EXPECT_EQ(dm->central.flag, "N") << dropTable;
        EXPECT_EQ(logLines().back().rfind("ERRO Except VerificaSenhaConsCentral: ", 0), 0u);
        if (dropTable) sql("ALTER TABLE PARAVEND_OLD RENAME TO PARAVEND");
        dm->ExisteDadosExportar(clock.now(), clock.now());
        const qel::Dataset& consumers = dm->PacotesExportacao.asArray()[0].asPacket();
        EXPECT_EQ(consumers.findField("CDSENHACENTRAL"), -1) << dropTable;
        EXPECT_EQ(consumers.recordCount(), 1u) << dropTable;
    }
}

// A second successful check replaces every setting of the first, including
// a schema that is no longer given.
TEST_F(CentralConsumers, ASecondCheckReplacesTheFirstSettings) {
    paravend("CENTRAL", "dbo", "S");
    dm->VerificaSenhaConsCentral("0001");
    paravend("OUTRA", "", "N");
    dm->VerificaSenhaConsCentral("0001");
    EXPECT_EQ(dm->central.databaseName, "OUTRA");
    EXPECT_EQ(dm->central.schemaName, "");
    EXPECT_FALSE(dm->central.isCentral());
    // Without its row the store's settings read as empty texts.
    sql("DELETE FROM PARAVEND");
    dm->VerificaSenhaConsCentral("0001");
    EXPECT_EQ(dm->central.databaseName, "");
    EXPECT_EQ(dm->central.flag, "");
    EXPECT_TRUE(logLines().empty());
}

TEST_F(CentralConsumers, AStoreCodeWithQuotesCannotChangeTheStatement) {
    paravend("CENTRAL", "", "S");
    dm->VerificaSenhaConsCentral("0001");
    dm->run.CDFILIAL = "0001' OR '1'='1";
    const auto statement = dm->adqCliCONSCENTRALBeforeOpen();
    EXPECT_EQ(statement.sql.find("0001"), std::string::npos);
    EXPECT_EQ(dm->openSelection("adqCliCONSCENTRAL").recordCount(), 0u);
    dm->run.CDFILIAL = "0001";
    EXPECT_EQ(dm->openSelection("adqCliCONSCENTRAL").recordCount(), 1u);
}

TEST_F(CentralConsumers, MissingParavendMeansLocalConsumersWithoutAnError) {
    dm->VerificaSenhaConsCentral("0001");
    EXPECT_FALSE(dm->central.isCentral());
    EXPECT_TRUE(logLines().empty());
}

TEST_F(CentralConsumers, CentralConnectionKeepsServerAndCredentialsAndSwapsTheCatalog) {
    paravend("CENTRAL", "dbo", "S");
    dm->VerificaSenhaConsCentral("0001");
    writeRegistry("");
    qel::db::Connection probe(clock);
    dm->adcBancoCentralBeforeConnect(probe);
    EXPECT_EQ(probe.connectionString(),
              "Provider=SQLite;Initial Catalog=CENTRAL;Data Source=" + dir.string());

    std::ofstream(dir / "registry.conf")
        << "[Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
        << "StringConexao = Provider=SQLOLEDB.1;User ID=sa;Initial Catalog=LOJA;"
           "Persist Security Info=False;Data Source=SRV01\n";
    registryWritten();
    dm->adcBancoCentralBeforeConnect(probe);
    EXPECT_EQ(probe.connectionString(),
              "Provider=SQLOLEDB.1;User ID=sa;Persist Security Info=False;Initial "
              "Catalog=CENTRAL;Data Source=SRV01");
}

// The keys are found as keys: the same text inside another key's value,
// quoted or not, neither moves the catalogue nor the server.
TEST_F(CentralConsumers, CentralConnectionFindsItsKeysOnlyAsKeys) {
    paravend("CENTRAL", "dbo", "S");
    dm->VerificaSenhaConsCentral("0001");
    qel::db::Connection probe(clock);
    auto central = [&](const std::string& stationText) {
        std::ofstream(dir / "registry.conf")
            << "[Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
            << "StringConexao = " << stationText << "\n";
        registryWritten();
        dm->adcBancoCentralBeforeConnect(probe);
        return probe.connectionString();
    };
    EXPECT_EQ(central("Provider=SQLOLEDB.1;Password=xCatalog=y;User ID=sa;Initial Catalog=LOJA;"
                      "Data Source=SRV01"),
              "Provider=SQLOLEDB.1;Password=xCatalog=y;User ID=sa;Initial Catalog=CENTRAL;"
              "Data Source=SRV01");
    EXPECT_EQ(
        central("Provider=SQLOLEDB.1;Password=\"a;Initial Catalog=Z;Data Source=Y\";"
                "Initial Catalog=LOJA;Extended Properties='Data Source=Q';"
                "Data Source=C:\\Catalog=x"),
        "Provider=SQLOLEDB.1;Password=\"a;Initial Catalog=Z;Data Source=Y\";"
        "Extended Properties=Data Source=Q;Initial Catalog=CENTRAL;Data Source=C:\\Catalog=x");
}

}  // namespace

namespace {

TEST_F(CentralConsumers, TheCentralSelectionDoesNotLockTheCentralDatabaseForLaterUpdates) {
    paravend("CENTRAL", "dbo", "S");
    dm->VerificaSenhaConsCentral("0001");
    dm->ExisteDadosExportar(clock.now(), clock.now());
    qel::Dataset verdicts({{"CDCONSUMIDOR", qel::FieldType::String, 21, 0},
                           {"CDCLIENTE", qel::FieldType::String, 21, 0},
                           {"IDSITUACAO", qel::FieldType::String, 3, 0}});
    verdicts.append({Variant("K1"), Variant("C1"), Variant("OK")});
    dm->results.cdsRetConsumidor = verdicts;
    dm->AtualizaMSDEConsumidor();
    const auto lines = logLines();
    EXPECT_EQ(lines.back(), "Execute do acmUpdConsCentral");
    qel::db::Connection centralDb(
        clock, "Provider=SQLite;Initial Catalog=CENTRAL;Data Source=" + dir.string());
    EXPECT_EQ(centralDb.query("SELECT IDATUCONSUMI FROM SENHACONS WHERE CDCONSUMIDOR = 'K1'")
                  .field("IDATUCONSUMI")
                  .asString(),
              "S");
}

}  // namespace
