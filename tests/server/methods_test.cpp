// The application server's nine methods, called over loopback HTTP through
// the agent's own connections, against a real SQLite central store.

#include <httplib.h>

#include "core/dataset.h"
#include "core/error.h"
#include "loopback_fixture.h"
#include "protocol/codec.h"
#include "sample_packets.h"
#include "verdicts.h"

namespace qel::testing {
namespace {

class Methods : public Loopback {
  protected:
    void SetUp() override {
        Loopback::SetUp();
        serve();
        ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    }
    Variant insert(const VariantArray& packets) {
        return callChecked(connections_->netInsereServidor, "setInsereServidor",
                           {Variant("0001"), Variant("001"), Variant("01"), Variant(packets)});
    }
    Variant verify(const VariantArray& packets) {
        return callChecked(connections_->netInsereServidor, "getVerificaExportacao",
                           {Variant("0001"), Variant("001"), Variant(packets)});
    }
};

TEST_F(Methods, EveryMethodOfEveryObjectAnswers) {
    auto& exp = connections_->netInsereServidor;
    const VariantArray packets = samplePacketArray(3);
    insert(packets);
    EXPECT_TRUE(callChecked(exp, "getMinDTULTATUEXT", {Variant(DateTime(46000.25))}) ==
                Variant(true));
    EXPECT_TRUE(callChecked(exp, "getMaxDTULTATUMCLI", {Variant(DateTime(46001.5))}) ==
                Variant(true));
    // The station's own dates come with its rows; the calls that name no
    // station are filed under the caller's address on an open server.
    EXPECT_EQ(store_->reportedDate("0001", "001", "DTULTATUMCLI"), DateTime(0.0));
    EXPECT_EQ(store_->reportedDate("", "@127.0.0.1", "DTULTATUMCLI"), DateTime(46001.5));
    EXPECT_EQ(verify(packets).asArray().size(), 22u);

    const VariantArray station{Variant("0001"), Variant("001")};
    EXPECT_TRUE(callChecked(exp, "getLimpezaDiaria", station).asBoolean());
    EXPECT_TRUE(callChecked(exp, "getLimpezaMensal", station).asBoolean());
    callChecked(exp, "setDtUltimaLimpeza", station);
    EXPECT_FALSE(callChecked(exp, "getLimpezaDiaria", station).asBoolean());
    EXPECT_FALSE(callChecked(exp, "getLimpezaMensal", station).asBoolean());
    clock_.set(clock_.now().addDays(1));  // 7 December: same month
    EXPECT_TRUE(callChecked(exp, "getLimpezaDiaria", station).asBoolean());
    EXPECT_FALSE(callChecked(exp, "getLimpezaMensal", station).asBoolean());
    clock_.set(DateTime::fromDateTime(2027, 1, 1, 0, 0, 1));
    EXPECT_TRUE(callChecked(exp, "getLimpezaMensal", station).asBoolean());
    callChecked(exp, "setDtUltimaLimpeza", station);
    clock_.set(DateTime::fromDateTime(2028, 1, 1, 0, 0, 1));  // same month, a year on
    EXPECT_TRUE(callChecked(exp, "getLimpezaMensal", station).asBoolean());
    // Another station's cleanup says nothing about this one.
    EXPECT_TRUE(
        callChecked(exp, "getLimpezaDiaria", {Variant("0001"), Variant("002")}).asBoolean());

    auto& aju = connections_->netAjuste;
    aju.open();
    callChecked(aju, "setAjusteDiferencas",
                {Variant("0001"), Variant("001"), Variant("06/12/2026")});
    callChecked(aju, "setAjusteDiferencas",
                {Variant("0001"), Variant("001"), Variant("06/12/2026")});
    aju.close();
    EXPECT_EQ(store_->requestCount("AJUSTE"), 1);  // once per station, day and argument

    auto& fid = connections_->netAtualizaPontuacao;
    fid.open();
    callChecked(fid, "setAtualizaPontuacao", {Variant("0001"), Variant("001")});
    fid.close();
    EXPECT_EQ(store_->requestCount("PONTUACAO"), 1);

    // A method of another object, or with the wrong arguments, is refused by name.
    try {
        callChecked(aju, "setAtualizaPontuacao", {});
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_NE(std::string(e.what()).find("Not connected"), std::string::npos);
    }
    EXPECT_THROW(callChecked(exp, "setAjusteDiferencas", {}), ServerError);
    EXPECT_THROW(callChecked(exp, "getLimpezaDiaria", {Variant("0001")}), ServerError);
    EXPECT_THROW(callChecked(exp, "getLimpezaDiaria", {Variant(1), Variant("001")}), ServerError);
}

TEST_F(Methods, ALabCleanupPeriodMakesTheDailyCleanupDueAgainAfterItsMinutes) {
    auto& exp = connections_->netInsereServidor;
    const VariantArray station{Variant("0001"), Variant("001")};
    app_->setCleanupEveryMinutes(10);
    callChecked(exp, "setDtUltimaLimpeza", station);
    clock_.set(clock_.now().addMinutes(9.9));
    EXPECT_FALSE(callChecked(exp, "getLimpezaDiaria", station).asBoolean());
    clock_.set(clock_.now().addMinutes(0.2));
    EXPECT_TRUE(callChecked(exp, "getLimpezaDiaria", station).asBoolean());
    // The monthly cleanup keeps its calendar rule.
    EXPECT_FALSE(callChecked(exp, "getLimpezaMensal", station).asBoolean());

    // A cleanup recorded while the server's clock ran a day ahead does not
    // hold the next one back for a day once the clock is set right.
    const DateTime right = clock_.now();
    clock_.set(right.addMinutes(24 * 60));
    callChecked(exp, "setDtUltimaLimpeza", station);
    clock_.set(right);
    EXPECT_TRUE(callChecked(exp, "getLimpezaDiaria", station).asBoolean());
    clock_.set(right.addMinutes(24 * 60 + 9.9));
    EXPECT_FALSE(callChecked(exp, "getLimpezaDiaria", station).asBoolean());
}

TEST_F(Methods, RowsOfEveryFieldTypeAreStoredOnceAndConfirmed) {
    const VariantArray packets = samplePacketArray(5);
    insert(packets);
    const std::int64_t rows = store_->rowCount();
    EXPECT_GT(rows, 90);
    insert(packets);  // the same rows again: replaced, not duplicated
    EXPECT_EQ(store_->rowCount(), rows);
    EXPECT_EQ(store_->rowCount("VENDA"), 5);
    EXPECT_EQ(store_->rowCount("ITEMVENDA"), 50);
    EXPECT_EQ(store_->reportedDate("0001", "001", "DTULTATUMCLI"), DateTime(0.0));

    const Variant results = verify(packets);
    for (int e = 0; e < 22; ++e) {
        for (const std::string& v : column(result(results, e), "IDSITUACAO")) {
            EXPECT_EQ(v, "OK") << "element " << e;
        }
    }
    // The sale's verdicts carry its key and the four fields it was sent with.
    const Dataset& venda = result(results, 10);
    ASSERT_EQ(venda.recordCount(), 5u);
    for (const char* f : {"CDFILIAL", "CDCAIXA", "NRSEQVENDA", "IDSITUVENDA", "CDVENDEDOR",
                          "IDENVIOFID4ALL", "IDENVIOFIDUDS", "IDSITUACAO"}) {
        EXPECT_GE(venda.findField(f), 0) << f;
    }
    EXPECT_EQ(column(venda, "NRSEQVENDA")[4], "100004");
    EXPECT_EQ(column(venda, "CDVENDEDOR")[0], "V01");

    // Date-time keys travel with their type; the two text forms are exact.
    const Dataset& turno = result(results, 9);
    EXPECT_EQ(turno.fields()[turno.fieldIndex("DTABERCAIX")].type, FieldType::DateTime);
    EXPECT_EQ(column(result(results, 2), "DTHROPERQEL"),
              (std::vector<std::string>{"2026-12-06T09:52:13"}));
    EXPECT_EQ(column(result(results, 20), "DTHRREGISTRO"),
              (std::vector<std::string>{"06/12/2026 09:52:13"}));
    EXPECT_EQ(column(result(results, 21), "DTHRINCOMVEN"),
              (std::vector<std::string>{"06/12/2026 09:52:13"}));

    // The two verdict packets with declared fields carry exactly those.
    const std::vector<FieldDef> beneCtr = {
        {"CDCLIENTE", FieldType::String, 21, 0},      {"CDCONSUMIDOR", FieldType::String, 21, 0},
        {"CDCAMPANHA", FieldType::String, 10, 0},     {"NRSEQPRODCAMP", FieldType::String, 10, 0},
        {"NRSEQBENEFICIO", FieldType::String, 10, 0}, {"IDSITUACAO", FieldType::String, 3, 0},
        {"QTDEBENEFICIO", FieldType::Float, 0, 0}};
    EXPECT_EQ(result(results, 14).fields(), beneCtr);
    ASSERT_EQ(result(results, 14).recordCount(), 1u);
    EXPECT_EQ(result(results, 14).rows()[0][6].kind(), VariantKind::Float);
    const std::vector<FieldDef> totalDia = {{"CDFILIAL", FieldType::String, 4, 0},
                                            {"CDCAIXA", FieldType::String, 3, 0},
                                            {"DTTOTAL", FieldType::Date, 0, 0},
                                            {"IDSITUACAO", FieldType::String, 3, 0}};
    EXPECT_EQ(result(results, 16).fields(), totalDia);
    EXPECT_EQ(result(results, 16).rows()[0][2].asDateTime(), DateTime::fromDate(2026, 12, 6));
    EXPECT_EQ(result(results, 17).recordCount(), 1u);  // blocked products: verdict only
}

TEST_F(Methods, AChangedRowIsNotConfirmedUntilSentAgain) {
    const VariantArray sent = samplePacketArray(3);
    insert(sent);
    // The seller of the second sale changes after it was sent.
    const VariantArray changed = withValue(sent, 16, 1, "CDVENDEDOR", Variant("V02"));
    EXPECT_EQ(column(result(verify(changed), 10), "IDSITUACAO"),
              (std::vector<std::string>{"OK", "DIF", "OK"}));
    // A row never sent is not confirmed either.
    const VariantArray more = samplePacketArray(4);
    EXPECT_EQ(column(result(verify(more), 10), "IDSITUACAO")[3], "NE");

    insert(changed);
    EXPECT_EQ(column(result(verify(changed), 10), "IDSITUACAO"),
              (std::vector<std::string>{"OK", "OK", "OK"}));
    EXPECT_EQ(store_->rowCount("VENDA"), 3);  // replaced, not added
}

TEST_F(Methods, AVerificationAnswersAlikeWhetherItsInsertWasDecodedJustBeforeOrNot) {
    const VariantArray sent = samplePacketArray(3);
    const VariantArray changed = withValue(sent, 16, 1, "CDVENDEDOR", Variant("V02"));
    insert(sent);
    const Variant afterInsert = verify(sent);  // the array the insert decoded
    const Variant again = verify(sent);        // decoded anew
    EXPECT_TRUE(afterInsert == again);
    EXPECT_EQ(column(result(again, 10), "IDSITUACAO"),
              (std::vector<std::string>{"OK", "OK", "OK"}));

    insert(changed);
    EXPECT_EQ(column(result(verify(sent), 10), "IDSITUACAO"),
              (std::vector<std::string>{"OK", "DIF", "OK"}));
    EXPECT_EQ(column(result(verify(changed), 10), "IDSITUACAO"),
              (std::vector<std::string>{"OK", "OK", "OK"}));
}

TEST_F(Methods, RowsThatCannotBeStoredAreRefusedWithAReason) {
    VariantArray packets = withValue(samplePacketArray(3), 16, 0, "NRSEQVENDA", Variant::null());
    // A date-time key sent as text cannot be bound as a date-time by the agent.
    Dataset turno({{"CDFILIAL", FieldType::String, 4, 0},
                   {"CDCAIXA", FieldType::String, 3, 0},
                   {"DTABERCAIX", FieldType::String, 20, 0}});
    turno.append({Variant("0001"), Variant("001"), Variant("06/12/2026")});
    packets[15] = Variant(turno.toPacket());
    insert(packets);
    EXPECT_EQ(store_->rowCount("VENDA"), 2);
    EXPECT_EQ(store_->rowCount("TURCAIXA"), 0);

    const Variant results = verify(packets);
    const Dataset& venda = result(results, 10);
    EXPECT_EQ(column(venda, "IDSITUACAO"), (std::vector<std::string>{"ERR", "OK", "OK"}));
    EXPECT_EQ(column(venda, "DSSITUACAO")[0], "key column NRSEQVENDA is null");
    EXPECT_EQ(column(result(results, 9), "IDSITUACAO")[0], "ERR");
    EXPECT_EQ(column(result(results, 9), "DSSITUACAO")[0],
              "key column DTABERCAIX must be a date-time, not String");
}

TEST_F(Methods, MalformedRequestsAnswerAnErrorAndStoreNothing) {
    auto& exp = connections_->netInsereServidor;
    VariantArray shortArray = samplePacketArray(2);
    shortArray.pop_back();
    EXPECT_THROW(insert(shortArray), ServerError);
    VariantArray notPacket = samplePacketArray(2);
    notPacket[18] = Variant("ITEMVENDA");
    try {
        insert(notPacket);
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_STREQ(
            e.what(),
            "element 18 of the packet array (ITEMVENDA) must be a data packet, not String");
    }
    try {
        callChecked(exp, "setNada", {});
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Unknown method Exp.rdmInsereServidor.setNada");
    }
    EXPECT_EQ(store_->rowCount(), 0);

    // Bodies that are not a request of this protocol, sent by hand.
    httplib::Client raw("127.0.0.1", port_);
    const std::string path = "/call/Exp.rdmInsereServidor/setInsereServidor";
    auto garbage = raw.Post(path, "\xC1\x00garbage", "application/msgpack");
    ASSERT_TRUE(garbage);
    EXPECT_EQ(garbage->status, 400);
    Bytes request = protocol::encodeRequest(
        "Exp.rdmInsereServidor", "setInsereServidor",
        {Variant("0001"), Variant("001"), Variant("01"), Variant(samplePacketArray(2))});
    const std::string truncated(reinterpret_cast<const char*>(request.data()), request.size() - 3);
    auto cut = raw.Post(path, truncated, "application/msgpack");
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->status, 400);
    EXPECT_THROW(contracts::CheckResultServ(
                     protocol::decode({reinterpret_cast<const std::uint8_t*>(cut->body.data()),
                                       cut->body.size()}),
                     true, 0),
                 ServerError);
    auto misrouted = raw.Post("/call/Exp.rdmInsereServidor/getLimpezaDiaria",
                              std::string(request.begin(), request.end()), "application/msgpack");
    ASSERT_TRUE(misrouted);
    EXPECT_EQ(misrouted->status, 400);
    auto text = raw.Post(path, "hello", "text/plain");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->status, 415);
    EXPECT_EQ(store_->rowCount(), 0);
}

TEST_F(Methods, OversizedRequestsAreRefused) {
    connections_->ConectaServidor(false, "");
    http_->stop();
    server::HttpServerOptions options;
    options.maxRequestBytes = 64 * 1024;
    serve(options);
    ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    insert(samplePacketArray(2));  // small enough
    const std::int64_t before = store_->rowCount();
    // Compressed on the wire but far larger once decoded: refused all the same.
    EXPECT_THROW(insert(samplePacketArray(100)), ServerError);
    EXPECT_EQ(store_->rowCount(), before);
}

TEST_F(Methods, CredentialsDecideWhoMayCallAndWhichRowsTheyMayWrite) {
    connections_->ConectaServidor(false, "");
    http_->stop();
    server::HttpServerOptions options;
    options.credentials = server::Credentials::parse(
        "# token store stations\n"
        "s3cr3t-0001-001 0001 001\n"
        "collector-0002 0002 *\n");
    serve(options);

    log_.clear();
    EXPECT_FALSE(connections_->ConectaServidor(true, "sem servidor"));
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(
        log_[0],
        "ERRO Except EnviaVendas: sem servidor - The application server at http://127.0.0.1:" +
            std::to_string(port_) + " refused the station credential (HTTP 401)");
    setRegistry(
        {{"IPServer", "127.0.0.1:" + std::to_string(port_)}, {"ServerCredential", "wrong"}});
    EXPECT_FALSE(connections_->ConectaServidor(true, "x"));

    setRegistry({{"IPServer", "127.0.0.1:" + std::to_string(port_)},
                 {"ServerCredential", "s3cr3t-0001-001"}});
    ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    // Acting for another station is refused outright.
    EXPECT_THROW(callChecked(connections_->netInsereServidor, "getLimpezaDiaria",
                             {Variant("0001"), Variant("002")}),
                 ServerError);
    // A row of another station is refused, the station's own rows are kept.
    const VariantArray packets = withValue(samplePacketArray(2), 16, 1, "CDCAIXA", Variant("002"));
    insert(packets);
    const Variant results = verify(packets);
    const Dataset& venda = result(results, 10);
    EXPECT_EQ(column(venda, "IDSITUACAO"), (std::vector<std::string>{"OK", "ERR"}));
    ASSERT_EQ(column(venda, "DSSITUACAO").size(), 2u);
    EXPECT_EQ(column(venda, "DSSITUACAO")[1], "CDCAIXA 002 is not a station of this credential");

    // "*" grants every station of its store and nothing of another store.
    connections_->ConectaServidor(false, "");
    setRegistry({{"IPServer", "127.0.0.1:" + std::to_string(port_)},
                 {"ServerCredential", "collector-0002"}});
    ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    auto& exp = connections_->netInsereServidor;
    EXPECT_TRUE(
        callChecked(exp, "getLimpezaDiaria", {Variant("0002"), Variant("007")}).asBoolean());
    EXPECT_THROW(callChecked(exp, "getLimpezaDiaria", {Variant("0001"), Variant("001")}),
                 ServerError);
}

}  // namespace
}  // namespace qel::testing

namespace qel::testing {
namespace {

// Every method takes exactly its own number of arguments: one more is
// refused by name, as one fewer is.
TEST_F(Methods, AnExtraArgumentIsRefusedByTheMethodsName) {
    auto& exp = connections_->netInsereServidor;
    const VariantArray packets = samplePacketArray(1);
    const std::vector<std::pair<std::string, VariantArray>> calls = {
        {"getVerificaExportacao",
         {Variant("0001"), Variant("001"), Variant(packets), Variant("x")}},
        {"setInsereServidor",
         {Variant("0001"), Variant("001"), Variant("01"), Variant(packets), Variant("x")}},
        {"getLimpezaDiaria", {Variant("0001"), Variant("001"), Variant("x")}}};
    for (const auto& [method, args] : calls) {
        try {
            callChecked(exp, method, args);
            ADD_FAILURE() << method << " accepted";
        } catch (const ServerError& e) {
            EXPECT_NE(std::string(e.what()).find(method + " takes"), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace qel::testing
