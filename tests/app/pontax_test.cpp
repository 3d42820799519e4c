// Reading the point-of-sale program's parameter file, and surviving
// anything a store's disk may hold under that name.
#include <gmock/gmock.h>

#include <filesystem>
#include <random>

#include "app/pontax_file.h"
#include "core/error.h"

using qel::app::PontaxFile;
using ::testing::HasSubstr;

namespace {

const std::string kFile =
    "<?xml version=\"1.0\" standalone=\"yes\"?>  <DATAPACKET Version=\"2.0\"><METADATA><FIELDS>"
    "<FIELD attrname=\"CDFILIAL\" fieldtype=\"string\" WIDTH=\"4\"/>"
    "<FIELD attrname=\"CDCAIXA\" fieldtype=\"string\" WIDTH=\"3\"/>"
    "<FIELD attrname=\"NMCAIXA\" fieldtype=\"string\" WIDTH=\"40\"/>"
    "<FIELD attrname=\"IDTIPOIMPFIS\" fieldtype=\"i4\"/>"
    "</FIELDS><PARAMS CHANGE_LOG=\"1 0 4\"/></METADATA><ROWDATA>"
    "<ROW CDFILIAL=\"0001\" CDCAIXA=\"002\" NMCAIXA=\"Caixa &amp; &#233;&#x20AC; &quot;1&quot;\" "
    "IDTIPOIMPFIS=\"24\"/>"
    "<ROW CDFILIAL=\"0009\" CDCAIXA=\"009\" IDTIPOIMPFIS=\"1\"/>"
    "</ROWDATA></DATAPACKET>\r\n";

std::string withRows(const std::string& rows) {
    const auto a = kFile.find("<ROWDATA>") + 9;
    const auto b = kFile.find("</ROWDATA>");
    return kFile.substr(0, a) + rows + kFile.substr(b);
}

// Whatever the input, parsing either succeeds or raises qel::Error.
void parsesOrFailsCleanly(const std::string& content) {
    try {
        const PontaxFile f = PontaxFile::parse(content);
        if (f.hasRecord()) (void)f.text(f.fields().front());
    } catch (const qel::Error&) {
    }
}

TEST(PontaxFile, ReadsTheFirstRecordOfTheXmlForm) {
    const PontaxFile f = PontaxFile::parse(kFile);
    ASSERT_TRUE(f.hasRecord());
    EXPECT_EQ(f.text("CDFILIAL"), "0001");
    EXPECT_EQ(f.text("cdcaixa"), "002");
    EXPECT_EQ(f.integer("IDTIPOIMPFIS"), 24);
    EXPECT_EQ(f.text("NMCAIXA"), "Caixa & é€ \"1\"");
    EXPECT_THROW(f.text("CDLOJA"), qel::Error);  // not declared
}

TEST(PontaxFile, NoRecordNullsAndTheChangeLog) {
    const PontaxFile empty = PontaxFile::parse(withRows(""));
    EXPECT_FALSE(empty.hasRecord());
    EXPECT_EQ(empty.text("CDFILIAL"), "");
    EXPECT_EQ(empty.integer("IDTIPOIMPFIS"), 0);

    const PontaxFile nulls = PontaxFile::parse(withRows("<ROW CDFILIAL=\"0001\"/>"));
    EXPECT_EQ(nulls.text("CDCAIXA"), "");
    EXPECT_EQ(nulls.integer("IDTIPOIMPFIS"), 0);

    // A deleted row is no record; an original row reads as its modified version.
    const PontaxFile log = PontaxFile::parse(
        withRows("<ROW RowState=\"2\" CDFILIAL=\"0007\"/><ROW RowState=\"1\" CDFILIAL=\"0001\" "
                 "CDCAIXA=\"001\"/><ROW RowState=\"8\" CDFILIAL=\"0002\" CDCAIXA=\"005\"/>"));
    EXPECT_EQ(log.text("CDFILIAL"), "0002");
    EXPECT_EQ(log.text("CDCAIXA"), "005");
    const PontaxFile inserted =
        PontaxFile::parse(withRows("<ROW RowState=\"4\" CDFILIAL=\"0003\"/><ROW CDFILIAL=\"9\"/>"));
    EXPECT_EQ(inserted.text("CDFILIAL"), "0003");

    const PontaxFile bad = PontaxFile::parse(withRows("<ROW IDTIPOIMPFIS=\"vinte\"/>"));
    EXPECT_THROW(bad.integer("IDTIPOIMPFIS"), qel::Error);
}

TEST(PontaxFile, AnsiTextWithoutDeclarationReadsAsWindows1252) {
    const PontaxFile f = PontaxFile::parse(withRows("<ROW NMCAIXA=\"Bal\xE7\xE3o\"/>"));
    EXPECT_EQ(f.text("NMCAIXA"), "Balção");
}

TEST(PontaxFile, TheBinaryFormAndForeignFilesAreNamedInTheError) {
    const std::string binary("\x96\x19\xE0\xBD\x01\x00\x00\x00\x18\x00", 10);
    try {
        PontaxFile::parse(binary);
        FAIL();
    } catch (const qel::Error& e) {
        EXPECT_THAT(e.what(), HasSubstr("binary client-dataset form"));
    }
    EXPECT_THROW(PontaxFile::parse(""), qel::Error);
    EXPECT_THROW(PontaxFile::parse("<html><body/></html>"), qel::Error);
    EXPECT_THROW(PontaxFile::parse("<DATAPACKET/>"), qel::Error);  // no fields
    EXPECT_THROW(PontaxFile::parse(kFile + "<DATAPACKET/>"), qel::Error);
}

TEST(PontaxFile, EveryTruncationIsAnErrorAndNoMutationCrashes) {
    const std::size_t end = kFile.find("</DATAPACKET>") + 13;
    for (std::size_t n = 0; n < end; ++n) {
        EXPECT_THROW(PontaxFile::parse(kFile.substr(0, n)), qel::Error) << "length " << n;
    }
    std::mt19937 random(20261206);
    for (int i = 0; i < 5000; ++i) {
        std::string mutated = kFile;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int k = 0; k < edits; ++k) {
            const std::size_t at = random() % mutated.size();
            switch (random() % 3) {
                case 0:
                    mutated[at] = static_cast<char>(random());
                    break;
                case 1:
                    mutated.erase(at, 1 + random() % 8);
                    break;
                default:
                    mutated.insert(at, 1, "<>&\"'/=;#x"[random() % 10]);
                    break;
            }
        }
        parsesOrFailsCleanly(mutated);
    }
}

TEST(PontaxFile, HostileCorpus) {
    // Deep nesting, huge attribute runs and entity tricks must not exhaust
    // the stack or memory.
    parsesOrFailsCleanly(std::string(100000, '<'));
    std::string deep = "<DATAPACKET>";
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    EXPECT_THROW(PontaxFile::parse(deep), qel::Error);
    EXPECT_THROW(PontaxFile::parse(withRows("<ROW CDFILIAL=\"&#0;\"/>")), qel::Error);
    EXPECT_THROW(PontaxFile::parse(withRows("<ROW CDFILIAL=\"&#x110000;\"/>")), qel::Error);
    EXPECT_THROW(PontaxFile::parse(withRows("<ROW CDFILIAL=\"&#99999999999999999999;\"/>")),
                 qel::Error);
    EXPECT_THROW(PontaxFile::parse(withRows("<ROW CDFILIAL=\"&ent;\"/>")), qel::Error);
    EXPECT_THROW(PontaxFile::parse(std::string(PontaxFile::kMaxSize + 1, ' ')), qel::Error);
    const std::filesystem::path corpus =
        std::filesystem::path(QEL_SOURCE_DIR) / "tests/app/pontax_corpus";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        ++files;
        try {
            PontaxFile::load(entry.path());
        } catch (const qel::Error&) {
        }
    }
    EXPECT_GE(files, 5);
}

}  // namespace
