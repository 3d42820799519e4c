// The parameter file's text at its edges: which bytes count as UTF-8 and
// which as Windows-1252, names with letters beyond ASCII, every entity and
// numeric reference on both sides of what is allowed, and a file cut short.
#include <gmock/gmock.h>

#include "app/pontax_file.h"
#include "core/error.h"

using qel::app::PontaxFile;
using ::testing::HasSubstr;

namespace {

// A file of one text field `name` whose only record holds `value` as written.
std::string fileWith(const std::string& name, const std::string& value) {
    return "<DATAPACKET Version=\"2.0\"><METADATA><FIELDS><FIELD attrname=\"" + name +
           "\" fieldtype=\"string\" WIDTH=\"40\"/></FIELDS></METADATA><ROWDATA><ROW " + name +
           "=\"" + value + "\"/></ROWDATA></DATAPACKET>";
}

std::string valueOf(const std::string& value) {
    return PontaxFile::parse(fileWith("NMCAIXA", value)).text("NMCAIXA");
}

std::string failure(const std::string& content) {
    try {
        (void)PontaxFile::parse(content);
    } catch (const qel::Error& e) {
        return e.what();
    }
    return "accepted";
}

TEST(PontaxText, UnicodeWhereItIsValidAndWindows1252Elsewhere) {
    EXPECT_EQ(valueOf("\xC2\xA9"), "©");          // the lowest two-byte lead
    EXPECT_EQ(valueOf("\xC1\xA9"), "Á©");         // an overlong lead: single bytes
    EXPECT_EQ(valueOf("\xF0\x9F\x98\x80"), "😀");  // four bytes
    EXPECT_EQ(valueOf("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(valueOf("\xF5\x80\x80\x80"), "õ€€€");  // beyond Unicode: single bytes
}

TEST(PontaxText, NamesMayHoldLettersBeyondAscii) {
    const PontaxFile f = PontaxFile::parse(fileWith("NMÀÇÃO", "x"));
    EXPECT_EQ(f.text("NMÀÇÃO"), "x");
}

TEST(PontaxText, EveryEntityAndTheEdgesOfNumericReferences) {
    EXPECT_EQ(valueOf("&apos;&quot;&lt;&gt;&amp;"), "'\"<>&");
    EXPECT_EQ(valueOf("&#xD7FF;&#xE000;&#x10FFFF;"), "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF");
    EXPECT_EQ(valueOf("&#65;&#x41;&#X41;&#xa;"), "AAA\n");
    for (const char* bad :
         {"&#xD800;", "&#xDFFF;", "&#x110000;", "&#0;", "&#1a;", "&#x;", "&#xG;"}) {
        EXPECT_THAT(failure(fileWith("NMCAIXA", bad)), HasSubstr("bad character reference")) << bad;
    }
    EXPECT_THAT(failure(fileWith("NMCAIXA", "&nbsp;")), HasSubstr("unknown entity &nbsp;"));
}

TEST(PontaxText, AFileCutShortSaysSo) {
    for (const std::string cut :
         {"<DATAPACKET><!-- never closed", "<DATAPACKET><METADATA", "<?xml version=\"1.0\""}) {
        EXPECT_THAT(failure(cut), HasSubstr("truncated")) << cut;
    }
}

TEST(PontaxText, BlanksUpToTheEndOfTheTextGivenAreAnEmptyFileWhateverFollowsIt) {
    // The parser reads its view and not a byte past it, even when the
    // memory after the view holds more blanks and a whole document.
    const std::string buffer = "  \t " + fileWith("NMCAIXA", "x");
    for (const std::size_t blanks : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
        try {
            (void)PontaxFile::parse(std::string_view(buffer).substr(0, blanks));
            ADD_FAILURE() << blanks << " blanks were parsed";
        } catch (const qel::Error& e) {
            EXPECT_THAT(e.what(), HasSubstr("the file is empty")) << blanks;
        }
    }
    EXPECT_EQ(PontaxFile::parse(buffer).text("NMCAIXA"), "x");
}

}  // namespace
