// The operator's pages at their edges: how a browser's Basic credential is
// read, the operator credentials file, the store a form asks for, a fleet
// table row cell by cell, and the operations guide's text around its
// headings.

#include <filesystem>
#include <fstream>

#include "core/error.h"
#include "fleet_page.h"
#include "monitoring.h"
#include "operations_guide.h"
#include "page_fixture.h"

namespace qel::testing {
namespace {

class OperatorAccess : public PageFixture {
  protected:
    void SetUp() override {
        PageFixture::SetUp();
        server::MonitoringOptions monitoring;
        // The Basic form of "ops:" and this token holds every kind of base64
        // character: A and Z, a and z, 0 and 9, + and /.
        monitoring.operatorTokens = {"nW3O~fwSjATmJ?P~ZD", "operator-secret"};
        monitoring_ = std::make_unique<server::Monitoring>(*store_, clock_, monitoring);
        server::HttpServerOptions options;
        monitoring_->install(options);
        serve(std::move(options));
    }
    int status(const std::string& authorization) {
        const auto r = get("/operations", authorization);
        return r ? r->status : -1;
    }
    std::unique_ptr<server::Monitoring> monitoring_;
};

TEST_F(OperatorAccess, ABasicCredentialIsTheTokenAfterTheFirstColonOfItsBase64Pair) {
    EXPECT_EQ(status("Basic b3BzOm5XM09+ZndTakFUbUo/UH5aRA=="), 200);
    EXPECT_EQ(status("Basic b3BzOm5XM09+ZndTakFUbUo/UH5aRA"), 200);  // padding is optional
    EXPECT_EQ(status("Bearer nW3O~fwSjATmJ?P~ZD"), 200);
    // A character outside base64 where the '/' was, or '-' for '+', spoils it.
    EXPECT_EQ(status("Basic b3BzOm5XM09+ZndTakFUbUo.UH5aRA=="), 401);
    EXPECT_EQ(status("Basic b3BzOm5XM09-ZndTakFUbUo/UH5aRA=="), 401);
    // "operator-secret" without a user name and colon is no credential.
    EXPECT_EQ(status("Basic b3BlcmF0b3Itc2VjcmV0"), 401);
    // ":operator-secret": an empty user name will do.
    EXPECT_EQ(status("Basic Om9wZXJhdG9yLXNlY3JldA=="), 200);
    EXPECT_EQ(status("Basic "), 401);
}

TEST(OperatorTokens, TheFileListsOneTokenALineAndMustListOne) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("qel_operator_tokens_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto file = folder / "operators";
    std::ofstream(file) << "# operators\n\n  first-token \t\r\n#not-a-token\nsecond\n";
    EXPECT_EQ(server::loadOperatorTokens(file),
              (std::vector<std::string>{"first-token", "second"}));
    std::ofstream(file) << "# nobody yet\n   \n";
    try {
        server::loadOperatorTokens(file);
        ADD_FAILURE() << "a file without a token was taken";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()), "No operator token in " + file.string());
    }
    std::filesystem::remove_all(folder);
    try {
        server::loadOperatorTokens(file);
        ADD_FAILURE() << "a missing file was taken";
    } catch (const ConfigError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot read the operator credentials file " + file.string());
    }
}

TEST(FleetForm, TheStoreIsPercentDecodedWithEveryHexDigitInEitherCase) {
    EXPECT_EQ(server::storeFromQuery("store=%30%39%41%46%61%66"), "09AFaf");
    // Just outside the hex digits on either side, and a '%' too near the end.
    for (const char* kept :
         {"%/0", "%:0", "%@0", "%G0", "%`0", "%g0", "%0/", "%0:", "%0g", "%4", "%"}) {
        EXPECT_EQ(server::storeFromQuery(std::string("store=") + kept), kept) << kept;
    }
    EXPECT_EQ(server::storeFromQuery("store=%2f%2F+x"), "// x");
    EXPECT_EQ(server::storeFromQuery("storex=1&store=2"), "2");
}

TEST(FleetTable, AStationsRowShowsEveryCellInItsPlace) {
    const DateTime now = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
    server::StationStatus s;
    s.store = "0001";
    s.station = "<1>";
    s.lastContact = now.addMinutes(-0.5);
    s.lastTransfer = now.addMinutes(-119);
    s.lastCleanup = now.addMinutes(-2879);
    s.receivedToday = {{"ITEMVENDA", 20}, {"VENDA", 2}};
    s.refusedToday = 1;
    s.daysChecked = 3;
    const std::string html = server::renderFleetPage({s}, now, 60);
    const std::string row =
        "<tr class=\"ok\" data-station=\"0001/&lt;1&gt;\"><td>0001</td><td>&lt;1&gt;</td>"
        "<td data-sort=\"3\">ok</td>"
        "<td class=\"time\" data-sort=\"" +
        std::to_string(s.lastContact->value()).substr(0, 12) +
        "\">06/12/2026 11:59:30<br><span class=\"ago\">(now)</span></td>"
        "<td class=\"time\" data-sort=\"" +
        std::to_string(s.lastTransfer->value()).substr(0, 12) +
        "\">06/12/2026 10:01:00<br><span class=\"ago\">(119 min ago)</span></td>"
        "<td class=\"num\" data-sort=\"22\">22<div class=\"tables\">ITEMVENDA 20, VENDA 2</div>"
        "</td><td class=\"num\">1</td>"
        "<td class=\"time\" data-sort=\"" +
        std::to_string(s.lastCleanup->value()).substr(0, 12) +
        "\">04/12/2026 12:01:00<br><span class=\"ago\">(48 h ago)</span></td>"
        "<td class=\"days\" data-sort=\"0\">complete (3 days)</td>"
        "<td class=\"check\"><a href=\"/operations#refused-rows\">refused rows</a></td></tr>\n";
    EXPECT_NE(html.find(row), std::string::npos) << html.substr(html.find("<tr class"), 900);

    // Past each step of the age, and a station never heard from.
    s.lastContact = now.addMinutes(-3);
    s.lastTransfer = now.addMinutes(-121);
    s.lastCleanup = now.addMinutes(-2881);
    const std::string later = server::renderFleetPage({s}, now, 60);
    for (const char* ago : {"(3 min ago)", "(2 h ago)", "(2 days ago)"}) {
        EXPECT_NE(later.find(ago), std::string::npos) << ago;
    }
    s.lastCleanup.reset();
    EXPECT_NE(
        server::renderFleetPage({s}, now, 60)
            .find("</td><td class=\"num\">1</td><td class=\"time\" data-sort=\"0\">never</td>"),
        std::string::npos);
}

TEST(OperationsGuideText, OnlyHashesFollowedByABlankMakeAHeadingAndTextGoesOnceAfterIt) {
    const std::string html = server::renderOperationsGuide(
        "# Q&A \"x\"\nI am text\n  indented\n#\n#nospace\n##### five\n## B\ntwo > one\n");
    const std::size_t body = html.find("<h1 ");
    ASSERT_NE(body, std::string::npos) << html;
    EXPECT_EQ(html.substr(body),
              "<h1 id=\"qa-x\">Q&amp;A &quot;x&quot;</h1>\n"
              "<pre>I am text\n  indented\n#\n#nospace\n##### five\n</pre>\n"
              "<h2 id=\"b\">B</h2>\n"
              "<pre>two &gt; one\n</pre>\n"
              "</body></html>\n");
}

}  // namespace
}  // namespace qel::testing
