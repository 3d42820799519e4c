// A packet array too large for one call travels in parts whose verdicts
// join back into one answer, each row's verdict where the whole array
// would have had it.

#include <gtest/gtest.h>

#include "core/dataset.h"
#include "core/error.h"
#include "protocol/codec.h"
#include "selection/packet_split.h"

namespace qel::agent {
namespace {

Variant packet(const std::string& prefix, int rows, std::size_t width = 10) {
    auto ds = std::make_shared<Dataset>(std::vector<FieldDef>{{"K", FieldType::String, 0, 0}});
    for (int r = 0; r < rows; ++r) {
        std::string key = prefix + std::to_string(r);
        key.resize(std::max(width, key.size()), '.');
        ds->rows().push_back({Variant(key)});
    }
    return Variant(std::shared_ptr<const Dataset>(std::move(ds)));
}

std::vector<std::string> keys(const VariantArray& parts, std::size_t element) {
    std::vector<std::string> out;
    for (const Row& r : parts[element].asPacket().rows()) out.push_back(r[0].asString());
    return out;
}

TEST(PacketSplit, PartsStayUnderTheBoundAndKeepEveryRowInOrder) {
    const VariantArray whole{packet("a", 1000, 40), Variant(DateTime(46000.5)), packet("b", 7),
                             packet("c", 0)};
    const std::size_t size = protocol::encode(Variant(whole)).size();
    ASSERT_EQ(splitPacketArray(whole, size).size(), 1u);  // fits exactly: one part

    const auto parts = splitPacketArray(whole, size / 5);
    ASSERT_GE(parts.size(), 5u);
    std::vector<std::string> a, b, expectedA = keys(whole, 0), expectedB = keys(whole, 2);
    for (const VariantArray& part : parts) {
        EXPECT_LE(protocol::encode(Variant(part)).size(), size / 5);
        ASSERT_EQ(part.size(), whole.size());
        EXPECT_TRUE(part[1] == whole[1]);  // dates repeat in every part
        for (const auto& k : keys(part, 0)) a.push_back(k);
        for (const auto& k : keys(part, 2)) b.push_back(k);
        EXPECT_TRUE(part[3].asPacket().rows().empty());
    }
    EXPECT_EQ(a, expectedA);
    EXPECT_EQ(b, expectedB);

    // A row larger than the bound still travels, in a part of its own.
    const VariantArray huge{packet("x", 3, 5000)};
    const auto single = splitPacketArray(huge, 1000);
    ASSERT_EQ(single.size(), 3u);
    for (const VariantArray& part : single) EXPECT_EQ(part[0].asPacket().rows().size(), 1u);
}

TEST(PacketSplit, VerdictsOfThePartsJoinInTheirOrder) {
    const Variant first(VariantArray{packet("a", 2), packet("b", 1)});
    const Variant second(VariantArray{packet("c", 1), packet("d", 0)});
    const Variant joined = joinVerificationAnswers({first, second});
    EXPECT_EQ(keys(joined.asArray(), 0),
              (std::vector<std::string>{"a0........", "a1........", "c0........"}));
    EXPECT_EQ(keys(joined.asArray(), 1), (std::vector<std::string>{"b0........"}));
    EXPECT_EQ(first.asArray()[0].asPacket().rows().size(), 2u);  // the parts are left alone

    EXPECT_THROW(joinVerificationAnswers({first, Variant(VariantArray{packet("c", 1)})}),
                 ServerError);
    EXPECT_THROW(joinVerificationAnswers({first, Variant(true)}), ServerError);
}

TEST(PacketSplit, AnAnswerElementThatIsNoPacketIsTheFirstPartsAndChecksNothing) {
    // Element 1 is a date, or nothing, in the parts: the first part's value
    // stands, whatever the later parts hold there.
    const Variant date(DateTime::fromDate(2026, 12, 8));
    const Variant first(VariantArray{packet("a", 1), date, Variant::null()});
    const Variant second(VariantArray{packet("b", 1), Variant::null(), packet("x", 2)});
    const Variant joined = joinVerificationAnswers({first, second});
    ASSERT_EQ(joined.asArray().size(), 3u);
    EXPECT_EQ(keys(joined.asArray(), 0), (std::vector<std::string>{"a0........", "b0........"}));
    EXPECT_TRUE(joined.asArray()[1] == date);
    EXPECT_TRUE(joined.asArray()[2].isNull());
    // A single part is its own answer.
    const Variant alone = joinVerificationAnswers({first});
    EXPECT_TRUE(alone.asArray()[1] == date);
    EXPECT_TRUE(alone.asArray()[2].isNull());
    EXPECT_EQ(keys(alone.asArray(), 0), (std::vector<std::string>{"a0........"}));
}

}  // namespace
}  // namespace qel::agent
