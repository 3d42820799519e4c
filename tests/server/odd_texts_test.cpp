// Texts a store keeps as text (store and station codes, a request's day) are
// treated alike by every engine: a NUL character or a length no code has is
// refused, never cut short or let fail the rest of a transfer.

#include "application_server.h"
#include "export_rows.h"
#include "sample_packets.h"
#include "store_fixture.h"
#include "verdicts.h"

namespace qel::testing {
namespace {

using F = FieldType;

Variant packet(Dataset ds) {
    return Variant(std::make_shared<const Dataset>(std::move(ds)));
}

const DateTime kDay = DateTime::fromDate(2026, 12, 6);

// Dated sales of station 001 of store 0001, one per CDCAIXA given.
VariantArray sales(const std::vector<std::string>& stations) {
    VariantArray a = samplePacketArray(0);
    Dataset venda({{"CDFILIAL", F::String, 4, 0},
                   {"CDCAIXA", F::String, 3, 0},
                   {"NRSEQVENDA", F::String, 12, 0},
                   {"DTENTRVENDA", F::Date, 0, 0},
                   {"VRTOTVENDA", F::Decimal, 0, 2}});
    int seq = 0;
    for (const std::string& station : stations) {
        venda.append({Variant("0001"), Variant(station), Variant(std::to_string(++seq)),
                      Variant(kDay), Variant(Decimal{1000, 2})});
    }
    a[16] = packet(std::move(venda));
    return a;
}

class OddTexts : public StoreTest {
  protected:
    Variant call(const std::string& method, VariantArray args,
                 const std::string& object = "Exp.rdmInsereServidor") {
        const auto out =
            app().call({"127.0.0.1:5000", nullptr, {}}, {object, method, std::move(args)});
        const VariantArray& envelope = out.answer.asArray();
        if (!envelope.at(0).asBoolean()) throw ServerError(envelope.at(1).asString());
        return envelope.at(1);
    }
    // The status of a call the server refuses; 0 when it answers.
    int refusal(const std::string& method, VariantArray args,
                const std::string& object = "Exp.rdmInsereServidor") {
        try {
            call(method, std::move(args), object);
            return 0;
        } catch (const server::CallRejected& e) {
            return e.status();
        }
    }
    server::ApplicationServer& app() {
        if (!app_) app_ = std::make_unique<server::ApplicationServer>(*store_, clock_);
        return *app_;
    }
    ManualClock clock_;
    std::unique_ptr<server::ApplicationServer> app_;
};

TEST_P(OddTexts, CodesWithANulOrPastTheLengthOfAnyCodeAreRefusedAlike) {
    const std::string nul("001\0X", 5), longest(server::kMaxCodeBytes, '7'),
        tooLong(server::kMaxCodeBytes + 1, '7');
    EXPECT_EQ(refusal("setDtUltimaLimpeza", {Variant("0005"), Variant(nul)}), 400);
    EXPECT_EQ(refusal("getLimpezaDiaria", {Variant(nul), Variant("001")}), 400);
    EXPECT_EQ(refusal("setDtUltimaLimpeza", {Variant("0005"), Variant(tooLong)}), 400);
    EXPECT_EQ(refusal("setAjusteDiferencas",
                      {Variant("0005"), Variant("001"), Variant(std::string("06/12\0", 6))},
                      "AJU.rdmAjusteDiferencas"),
              400);
    // Nothing was filed, least of all under the station the text starts with.
    EXPECT_FALSE(store_->lastCleanup("0005", "001"));
    EXPECT_EQ(store_->requestCount("AJUSTE"), 0);
    // The longest code there may be is stored and found on every engine.
    EXPECT_EQ(refusal("setDtUltimaLimpeza", {Variant("0005"), Variant(longest)}), 0);
    EXPECT_TRUE(store_->lastCleanup("0005", longest));
    EXPECT_FALSE(store_->lastCleanup("0005", "001"));
}

TEST_P(OddTexts, ASaleWhoseCodeHoldsANulIsRefusedAndTheOthersAreStored) {
    const std::string nul("001\0X", 5);
    const VariantArray packets =
        sales({"001", nul, std::string(server::kMaxCodeBytes + 1, '1'), "002"});
    call("setInsereServidor", {Variant("0001"), Variant("001"), Variant("01"), Variant(packets)});
    EXPECT_EQ(store_->rowCount("VENDA"), 2);
    const Variant results =
        call("getVerificaExportacao", {Variant("0001"), Variant("001"), Variant(packets)});
    const Dataset& verdicts = result(results, 10);
    EXPECT_EQ(column(verdicts, "IDSITUACAO"), (std::vector<std::string>{"OK", "ERR", "ERR", "OK"}));
    EXPECT_EQ(column(verdicts, "DSSITUACAO")[1], "CDCAIXA holds a NUL character");
    EXPECT_EQ(column(verdicts, "DSSITUACAO")[2], "CDCAIXA is longer than 255 bytes");
}

INSTANTIATE_TEST_SUITE_P(Engines, OddTexts, ::testing::Values("sqlite", "postgres"), engineName);

}  // namespace
}  // namespace qel::testing
