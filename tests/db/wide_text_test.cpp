#include "db/odbc/wide_text.h"

#include <gtest/gtest.h>

namespace qel::db::odbc {
namespace {

TEST(WideTextTest, RoundTripsAccentsAndCharactersBeyondTheBasicPlane) {
    const std::string text = "Açaí São João ñ € \xF0\x9F\x99\x82";
    const WideString wide = toWide(text);
    EXPECT_EQ(wide, u"Açaí São João ñ € \U0001F642");
    EXPECT_EQ(toUtf8(wide), text);
}

TEST(WideTextTest, MalformedInputIsNotDropped) {
    // A lone Windows-1252 byte (0xE9 'é') stays a character.
    EXPECT_EQ(toWide("caf\xE9"), u"café");
    // An unpaired surrogate becomes the replacement character.
    EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
}

}  // namespace
}  // namespace qel::db::odbc
