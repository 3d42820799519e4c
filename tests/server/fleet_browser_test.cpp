// The fleet page in a real headless browser: the page's own script runs,
// the silent stations are listed first as the data says, the store filter
// and the guide its links lead to work, and a screenshot is left in the
// build folder for a person to look at.

#include <array>
#include <cstdio>
#include <fstream>

#include "monitoring.h"
#include "page_fixture.h"

namespace qel::testing {
namespace {

std::string findChromium() {
    for (const char* p :
         {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/bin/google-chrome"}) {
        if (std::filesystem::exists(p)) return p;
    }
    return {};
}

// Runs the browser with a fresh profile, bounded in time; answers its output.
std::string runBrowser(const std::string& browser, const std::filesystem::path& profile,
                       const std::string& arguments) {
    const std::string command =
        "timeout 120 " + browser +
        " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --disable-dev-shm-usage --user-data-dir=" +
        profile.string() + " " + arguments + " 2>/dev/null";
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        std::array<char, 65536> buf;
        std::size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
        ::pclose(p);
    }
    return out;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class FleetBrowser : public PageFixture {};

TEST_F(FleetBrowser, ThePageForbidsFramingSniffingAndAnyScriptButItsOwn) {
    server::Monitoring monitoring(*store_, clock_, {});
    server::HttpServerOptions http;
    monitoring.install(http);
    serve(std::move(http));
    const auto page = get("/fleet");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
    EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
    const std::string policy = page->get_header_value("Content-Security-Policy");
    EXPECT_EQ(policy.rfind("default-src 'none'; ", 0), 0u) << policy;
    EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos) << policy;
    // Scripts and styles only by hash: an inline script a station smuggled
    // into the page would not run.
    EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos) << policy;
    EXPECT_NE(policy.find("script-src 'sha256-"), std::string::npos) << policy;
    EXPECT_NE(policy.find("style-src 'sha256-"), std::string::npos) << policy;
}

TEST_F(FleetBrowser, ShowsTheStationsAndTheSilentOnesAsTheDataSays) {
    const std::string browser = findChromium();
    if (browser.empty()) GTEST_SKIP() << "No chromium installed (apt-get install chromium)";
    server::MonitoringOptions options;
    options.silentMinutes = 30;
    server::Monitoring monitoring(*store_, clock_, options);
    server::HttpServerOptions http;
    monitoring.install(http);
    serve(std::move(http));

    // 40 stations of two stores; stations 7, 19 and 33 were last heard 2 hours
    // ago, the others in the last minutes, with rows of a few tables today.
    const DateTime now = clock_.now();
    for (int i = 1; i <= 40; ++i) {
        const std::string station = (i < 10 ? "00" : "0") + std::to_string(i);
        const std::string store = i <= 20 ? "0001" : "0002";
        const bool silent = i == 7 || i == 19 || i == 33;
        server::InsertBatch b;
        b.store = store;
        b.station = station;
        b.receivedAt = silent ? now.addMinutes(-120) : now.addMinutes(-i % 9);
        for (int r = 0; r < i; ++r) {
            const std::string k = store + station + std::to_string(r);
            b.rows.push_back({r % 3 ? "ITEMVENDA" : "VENDA", Bytes(k.begin(), k.end()), Bytes{1}});
        }
        if (i == 12) b.summaries = {{store, station, now.date(), 5, 50000}};
        store_->putBatch(b);
    }

    const auto profile = folder_ / "chromium-profile";
    const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/fleet";
    const std::string dom = runBrowser(browser, profile, "--dump-dom " + url);
    ASSERT_NE(dom.find("id=\"fleet\""), std::string::npos) << dom.substr(0, 500);
    // The inline script ran under the page's Content-Security-Policy: the
    // table is sorted by state, silent ones first.
    EXPECT_NE(dom.find("data-sorted=\"state:asc\""), std::string::npos);
    EXPECT_EQ(count(dom, "<tr class=\"silent\""), 3u);
    EXPECT_EQ(count(dom, "<tr class="), 40u);
    const auto firstRow = dom.find("<tr class=");
    EXPECT_EQ(dom.find("<tr class=\"silent\""), firstRow);
    for (const char* s : {"0001/007", "0001/019", "0002/033"}) {
        EXPECT_NE(dom.find(std::string("<li data-station=\"") + s + "\""), std::string::npos) << s;
    }
    EXPECT_NE(dom.find("short by 5 sales and 5.00"), std::string::npos);
    EXPECT_NE(dom.find("<section id=\"silent\" data-count=\"3\" class=\"alarm\">"),
              std::string::npos);
    EXPECT_NE(dom.find("<a href=\"/operations#a-silent-station\">"), std::string::npos);

    // The store filter, as the page's form sends it.
    const std::string one = runBrowser(browser, profile, "--dump-dom " + url + "?store=0002");
    EXPECT_EQ(count(one, "<tr class="), 20u);
    EXPECT_EQ(count(one, "<tr class=\"silent\""), 1u);
    EXPECT_NE(one.find("<option value=\"0002\" selected=\"\">"), std::string::npos)
        << one.substr(0, 2000);
    // The guide the links lead to, with the section they name.
    const std::string guide = runBrowser(
        browser, profile,
        "--dump-dom http://127.0.0.1:" + std::to_string(port_) + "/operations#a-silent-station");
    EXPECT_NE(guide.find("<h3 id=\"a-silent-station\">"), std::string::npos);

    const auto shot = std::filesystem::path(QEL_BINARY_DIR) / "fleet-page.png";
    std::filesystem::remove(shot);
    runBrowser(
        browser, profile,
        "--hide-scrollbars --window-size=1400,1000 --screenshot=" + shot.string() + " " + url);
    ASSERT_TRUE(std::filesystem::exists(shot));
    std::ifstream png(shot, std::ios::binary);
    char signature[8] = {};
    png.read(signature, 8);
    EXPECT_EQ(std::string(signature + 1, 3), "PNG");
    std::printf("Fleet page screenshot: %s\n", shot.c_str());
}

}  // namespace
}  // namespace qel::testing
