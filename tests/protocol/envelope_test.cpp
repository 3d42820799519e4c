#include "protocol/envelope.h"

#include <gtest/gtest.h>

#include "core/error.h"
#include "protocol/codec.h"

namespace qel::protocol {
namespace {

TEST(Envelope, SuccessYieldsThePayloadFailureRaisesTheServersMessage) {
    EXPECT_TRUE(unwrapAnswer(successAnswer(Variant(true))) == Variant(true));
    EXPECT_TRUE(unwrapAnswer(successAnswer(Variant())).isUnassigned());
    try {
        unwrapAnswer(decode(encode(failureAnswer("Tabela VENDA: chave nula"))));
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Tabela VENDA: chave nula");
    }
}

TEST(Envelope, AnythingElseIsNotAnAnswer) {
    const Variant notEnvelopes[] = {
        Variant(),
        Variant(true),
        Variant("OK"),
        Variant(VariantArray{}),
        Variant(VariantArray{Variant(true)}),
        Variant(VariantArray{Variant(true), Variant(1), Variant(2)}),
        Variant(VariantArray{Variant(1), Variant("x")}),
        Variant(VariantArray{Variant(false), Variant(42)}),
    };
    for (const Variant& v : notEnvelopes) {
        EXPECT_FALSE(isEnvelope(v));
        EXPECT_THROW(unwrapAnswer(v), ServerError);
    }
}

}  // namespace
}  // namespace qel::protocol
