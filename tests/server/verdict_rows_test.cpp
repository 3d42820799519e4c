// What the verification answers row by row, beyond the sample transfer: the
// fields of a verdict packet, echoed columns wherever the packet puts them or
// when it leaves them out, null keys of refused rows, a benefit quantity of
// any numeric type, and rows whose local key is incomplete, which are kept by
// their whole content. Loopback HTTP through the agent's connections.

#include "core/dataset.h"
#include "loopback_fixture.h"
#include "sample_packets.h"
#include "verdicts.h"

namespace qel::testing {
namespace {

using F = FieldType;

Variant packet(Dataset ds) {
    return Variant(std::make_shared<const Dataset>(std::move(ds)));
}

const DateTime kWhen = DateTime::fromDateTime(2026, 12, 6, 9, 52, 13);

class VerdictRows : public Loopback {
  protected:
    void SetUp() override {
        Loopback::SetUp();
        serve();
        ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    }
    void insert(const VariantArray& packets) {
        callChecked(connections_->netInsereServidor, "setInsereServidor",
                    {Variant("0001"), Variant("001"), Variant("01"), Variant(packets)});
    }
    Variant verify(const VariantArray& packets) {
        return callChecked(connections_->netInsereServidor, "getVerificaExportacao",
                           {Variant("0001"), Variant("001"), Variant(packets)});
    }
    // Sent, then verified: the verdict packet of `result`.
    Dataset sentAndVerified(const VariantArray& packets, int resultElement) {
        insert(packets);
        Dataset out;
        out.loadPacket(result(verify(packets), resultElement));
        return out;
    }
};

TEST_F(VerdictRows, ASalesVerdictHasItsKeysItsEchoedColumnsAndTheSituationFields) {
    const Dataset venda = sentAndVerified(samplePacketArray(1), 10);
    const std::vector<FieldDef> expected = {
        {"CDFILIAL", F::String, 4, 0},      {"CDCAIXA", F::String, 3, 0},
        {"NRSEQVENDA", F::String, 12, 0},   {"IDSITUVENDA", F::String, 1, 0},
        {"CDVENDEDOR", F::String, 10, 0},   {"IDENVIOFID4ALL", F::String, 1, 0},
        {"IDENVIOFIDUDS", F::String, 1, 0}, {"IDSITUACAO", F::String, 3, 0},
        {"DSSITUACAO", F::String, 0, 0}};
    EXPECT_EQ(venda.fields(), expected);
}

// The echoed columns are found by name: first in the packet or missing from it.
TEST_F(VerdictRows, EchoedColumnsAreFoundWhereverThePacketPutsThemAndNullWhenAbsent) {
    Dataset venda({{"IDSITUVENDA", F::String, 1, 0},
                   {"CDFILIAL", F::String, 4, 0},
                   {"CDCAIXA", F::String, 3, 0},
                   {"NRSEQVENDA", F::String, 12, 0},
                   {"IDENVIOFIDUDS", F::String, 1, 0}});
    venda.append({Variant("C"), Variant("0001"), Variant("001"), Variant("900001"), Variant("S")});
    VariantArray packets = samplePacketArray(0);
    packets[16] = packet(std::move(venda));
    const Dataset verdict = sentAndVerified(packets, 10);
    ASSERT_EQ(verdict.recordCount(), 1u);
    const Row& row = verdict.rows()[0];
    EXPECT_EQ(row[verdict.fieldIndex("IDSITUVENDA")].asString(), "C");
    EXPECT_EQ(row[verdict.fieldIndex("IDENVIOFIDUDS")].asString(), "S");
    for (const char* absent : {"CDVENDEDOR", "IDENVIOFID4ALL"}) {
        EXPECT_TRUE(row[verdict.fieldIndex(absent)].isNull()) << absent;
        EXPECT_EQ(verdict.fields()[verdict.fieldIndex(absent)].type, F::String) << absent;
    }
    EXPECT_EQ(row[verdict.fieldIndex("IDSITUACAO")].asString(), "OK");
}

TEST_F(VerdictRows, ARefusedRowsNullKeyComesBackAsNull) {
    const VariantArray packets =
        withValue(samplePacketArray(2), 16, 1, "NRSEQVENDA", Variant::null());
    const Dataset venda = sentAndVerified(packets, 10);
    ASSERT_EQ(venda.recordCount(), 2u);
    EXPECT_EQ(column(venda, "IDSITUACAO"), (std::vector<std::string>{"OK", "ERR"}));
    const Variant& key = venda.rows()[1][venda.fieldIndex("NRSEQVENDA")];
    EXPECT_TRUE(key.isNull()) << static_cast<int>(key.kind());
    EXPECT_EQ(venda.rows()[1][venda.fieldIndex("CDFILIAL")].asString(), "0001");
}

// The quantity of a benefit control row is a key the agent binds as a
// number: any numeric field type will do, and it comes back as a float.
TEST_F(VerdictRows, ABenefitQuantityOfAnyNumericTypeIsAcceptedAndAnsweredAsAFloat) {
    const std::pair<FieldDef, Variant> quantities[] = {
        {{"QTDEBENEFICIO", F::Decimal, 0, 2}, Variant(Decimal{250, 2})},
        {{"QTDEBENEFICIO", F::Integer, 0, 0}, Variant(std::int64_t{3})},
        {{"QTDEBENEFICIO", F::Float, 0, 0}, Variant(0.5)},
        {{"QTDEBENEFICIO", F::String, 10, 0}, Variant("2")},
    };
    const double answered[] = {2.5, 3.0, 0.5};
    for (std::size_t q = 0; q < std::size(quantities); ++q) {
        Dataset ctr({{"CDCLIENTE", F::String, 21, 0},
                     {"CDCONSUMIDOR", F::String, 21, 0},
                     {"CDCAMPANHA", F::String, 10, 0},
                     {"NRSEQPRODCAMP", F::String, 10, 0},
                     {"NRSEQBENEFICIO", F::String, 10, 0},
                     quantities[q].first,
                     {"DTFIMVALBENECONS", F::DateTime, 0, 0}});
        ctr.append({Variant("CLI1"), Variant("C1"), Variant("CAMP"), Variant("1"),
                    Variant(std::to_string(q)), quantities[q].second, Variant(kWhen)});
        VariantArray packets = samplePacketArray(0);
        packets[29] = packet(std::move(ctr));
        const Dataset verdict = sentAndVerified(packets, 14);
        ASSERT_EQ(verdict.recordCount(), 1u);
        const Row& row = verdict.rows()[0];
        if (q < std::size(answered)) {
            EXPECT_EQ(row[5].asString(), "OK") << q;
            EXPECT_EQ(row[6].kind(), VariantKind::Float) << q;
            EXPECT_EQ(row[6].asFloat(), answered[q]) << q;
        } else {
            EXPECT_EQ(row[5].asString(), "ERR");
        }
    }
    EXPECT_EQ(store_->rowCount("MOVBENEFICIOCTR"), 3);
}

// An item row without its whole local key cannot be told from another by
// its key: it is kept by its whole content, each distinct row once.
TEST_F(VerdictRows, RowsWithoutTheirWholeLocalKeyAreKeptByTheirContent) {
    auto items = [](bool withItemNumber) {
        std::vector<FieldDef> fields = {{"CDFILIAL", F::String, 4, 0},
                                        {"CDCAIXA", F::String, 3, 0},
                                        {"NRSEQVENDA", F::String, 12, 0},
                                        {"CDPRODUTO", F::String, 14, 0}};
        if (withItemNumber) fields.insert(fields.begin() + 3, {"NRSEQUITVEND", F::String, 4, 0});
        Dataset ds(fields);
        for (const char* product : {"789", "790"}) {
            Row r = {Variant("0001"), Variant("001"), Variant("100000"), Variant(product)};
            if (withItemNumber) r.insert(r.begin() + 3, Variant::null());
            ds.append(std::move(r));
        }
        return ds;
    };
    for (const bool withItemNumber : {true, false}) {
        VariantArray packets = samplePacketArray(0);
        packets[18] = packet(items(withItemNumber));
        insert(packets);
        insert(packets);  // the same rows again are the same rows
    }
    EXPECT_EQ(store_->rowCount("ITEMVENDA"), 4);
}

}  // namespace
}  // namespace qel::testing
