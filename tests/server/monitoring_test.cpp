// The operator's pages over the real server: day completeness from the
// stations' own summaries, the fleet page, the metrics, and who may see them.

#include "monitoring.h"
#include "core/dataset.h"
#include "fleet_page.h"
#include "metrics.h"
#include "operations_guide.h"
#include "page_fixture.h"
#include "protocol/envelope.h"
#include "sample_packets.h"

namespace qel::testing {
namespace {

Variant packet(Dataset ds) {
    return Variant(std::make_shared<const Dataset>(std::move(ds)));
}

// A packet array holding only sales (with their totals) and the day summary.
struct Sale {
    std::string seq;  // empty: a sale the server must refuse (its key is null)
    DateTime day;
    Decimal total;
};
VariantArray salesArray(const std::string& station, const std::vector<Sale>& sales,
                        const std::vector<std::tuple<DateTime, int, Decimal>>& summary) {
    VariantArray a = samplePacketArray(0, "0001", station);
    Dataset venda({{"CDFILIAL", FieldType::String, 4, 0},
                   {"CDCAIXA", FieldType::String, 3, 0},
                   {"NRSEQVENDA", FieldType::String, 12, 0},
                   {"DTENTRVENDA", FieldType::DateTime, 0, 0},
                   {"VRTOTVENDA", FieldType::Decimal, 0, 2}});
    for (const Sale& s : sales) {
        venda.append({Variant("0001"), Variant(station),
                      s.seq.empty() ? Variant::null() : Variant(s.seq), Variant(s.day),
                      Variant(s.total)});
    }
    Dataset rel({{"CDFILIAL", FieldType::String, 4, 0},
                 {"CDCAIXA", FieldType::String, 3, 0},
                 {"DTENTRVENDA", FieldType::DateTime, 0, 0},
                 {"QTVENDASMSDE", FieldType::Integer, 0, 0},
                 {"VRTOTMSDE", FieldType::Decimal, 0, 2}});
    for (const auto& [day, count, total] : summary) {
        rel.append({Variant("0001"), Variant(station), Variant(day),
                    Variant(static_cast<std::int64_t>(count)), Variant(total)});
    }
    a[16] = packet(std::move(venda));
    a[33] = packet(std::move(rel));
    return a;
}

class Pages : public PageFixture {
  protected:
    void start(server::MonitoringOptions monitoring = {},
               std::optional<server::Credentials> credentials = {}) {
        monitoring_ = std::make_unique<server::Monitoring>(*store_, clock_, monitoring);
        server::HttpServerOptions options;
        options.credentials = std::move(credentials);
        monitoring_->install(options);
        serve(std::move(options));
    }
    Variant send(const std::string& station, const VariantArray& packets) {
        auto& exp = connections_->netInsereServidor;
        if (!exp.connected()) exp.open();
        return callChecked(exp, "setInsereServidor",
                           {Variant("0001"), Variant(station), Variant("01"), Variant(packets)});
    }
    std::unique_ptr<server::Monitoring> monitoring_;
};

TEST_F(Pages, DayCompletenessComparesHeldSalesWithTheStationsSummary) {
    start();
    const DateTime d5 = DateTime::fromDate(2026, 12, 5), d6 = DateTime::fromDate(2026, 12, 6);
    // Station 001: the 5th arrived in full; on the 6th one of three sales is
    // refused (no key), so the server holds two.
    std::int64_t stored = send("001", salesArray("001",
                                                 {{"1", d5, {1000, 2}},
                                                  {"2", d5, {250, 2}},
                                                  {"3", d6, {4990, 2}},
                                                  {"", d6, {1230, 2}},
                                                  {"5", d6, {10, 2}}},
                                                 {{d5, 2, {1250, 2}}, {d6, 3, {6230, 2}}}))
                              .asInteger();
    // Station 002 sends the same transfer twice (the first answer lost):
    // still complete, and its rows count once.
    const VariantArray twice = salesArray("002", {{"1", d6, {99999, 2}}}, {{d6, 1, {99999, 2}}});
    stored += send("002", twice).asInteger();
    send("002", twice);

    const auto fleet = store_->fleet(clock_.now(), d5);
    ASSERT_EQ(fleet.size(), 2u);
    EXPECT_EQ(fleet[0].daysChecked, 2);
    ASSERT_EQ(fleet[0].shortDays.size(), 1u);
    EXPECT_EQ(fleet[0].shortDays[0].day, d6);
    EXPECT_EQ(fleet[0].refusedToday, 1);
    EXPECT_TRUE(fleet[1].shortDays.empty());

    auto page = get("/fleet");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("06/12/2026: short by 1 sale and 12.30"), std::string::npos);
    EXPECT_NE(page->body.find("complete (1 day)"), std::string::npos);
    auto metrics = get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->body.find("\nqelexp_day_incomplete 1\n"), std::string::npos);
    EXPECT_NE(metrics->body.find("\nqelexp_sales_missing 1\n"), std::string::npos);
    EXPECT_NE(metrics->body.find("\nqelexp_amount_missing 12.30\n"), std::string::npos);
    EXPECT_NE(metrics->body.find("\nqelexp_transfers_total 3\n"), std::string::npos);
    // Rows newly stored count, not rows sent again.
    EXPECT_NE(metrics->body.find("\nqelexp_rows_stored_total " + std::to_string(stored) + "\n"),
              std::string::npos);
    EXPECT_NE(metrics->body.find("\nqelexp_rows_refused_total 1\n"), std::string::npos);
    EXPECT_NE(metrics->body.find("qelexp_request_duration_seconds_count 3\n"), std::string::npos);
    EXPECT_NE(metrics->body.find("qelexp_stations{state=\"incomplete\"} 1\n"), std::string::npos);
}

TEST_F(Pages, HugeSalesOfOneStationLeaveThePagesUp) {
    start();
    const DateTime d6 = DateTime::fromDate(2026, 12, 6);
    // Two sales of 900,000,000,000,000.00 each: their sum passes 64 bits of
    // ten-thousandths. The station's own total does not fit either.
    const Decimal huge{90000000000000000, 2};
    send("001", salesArray("001", {{"1", d6, huge}, {"2", d6, huge}}, {{d6, 2, huge}}));
    send("002", salesArray("002", {{"1", d6, {500, 2}}}, {{d6, 2, {1000, 2}}}));
    auto page = get("/fleet");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("1800000000000000.00"), std::string::npos);
    auto metrics = get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->status, 200);
    // The other station's shortfall is there, whatever the first one holds.
    EXPECT_NE(metrics->body.find("\nqelexp_sales_missing 1\n"), std::string::npos);
}

TEST_F(Pages, OnlyAnOperatorCredentialOpensThePages) {
    server::MonitoringOptions monitoring;
    monitoring.operatorTokens = {"operator-secret"};
    start(monitoring, server::Credentials::parse("station-secret 0001 *\n"));
    EXPECT_EQ(get("/fleet")->status, 401);
    EXPECT_EQ(get("/metrics", "Bearer station-secret")->status, 401);
    EXPECT_EQ(get("/fleet", "Bearer operator-secret-")->status, 401);
    EXPECT_EQ(get("/fleet", "Bearer operator-secret")->status, 200);
    // A browser's Basic prompt: any user name, the token as password
    // ("ops:operator-secret").
    EXPECT_EQ(get("/metrics", "Basic b3BzOm9wZXJhdG9yLXNlY3JldA==")->status, 200);
    EXPECT_EQ(get("/metrics")->get_header_value("WWW-Authenticate").rfind("Basic", 0), 0u);
    // The operator token is no station credential.
    setRegistry({{"IPServer", "127.0.0.1:" + std::to_string(port_)},
                 {"ServerCredential", "operator-secret"}});
    EXPECT_FALSE(connections_->ConectaServidor(true, "x"));
}

TEST_F(Pages, StationCredentialsWithoutAnOperatorCloseThePages) {
    server::MonitoringOptions monitoring;
    monitoring.requireOperator = true;
    start(monitoring, server::Credentials::parse("station-secret 0001 *\n"));
    EXPECT_EQ(get("/fleet", "Bearer station-secret")->status, 401);
    EXPECT_EQ(get("/fleet", "Bearer ")->status, 401);
}

TEST_F(Pages, MetricsNameTheStationsAnAlertPointsAtAndPassPromtool) {
    start();
    monitoring_->watchMemory([] { return server::RequestMemory{900, 1000}; });
    const DateTime d6 = DateTime::fromDate(2026, 12, 6);
    // Station 001's day is short by its refused sale. Station 002's
    // transfers fail three times (the central store has lost its rows
    // table), then, the table back, one is stored.
    send("001", salesArray("001", {{"1", d6, {100, 2}}, {"", d6, {200, 2}}}, {{d6, 2, {300, 2}}}));
    const auto sql = [&](const std::string& statement) {
        return std::system(
            ("sqlite3 '" + (folder_ / "central.db").string() + "' '" + statement + "'").c_str());
    };
    ASSERT_EQ(sql("ALTER TABLE export_row RENAME TO export_row_away"), 0);
    auto& exp = connections_->netInsereServidor;
    const VariantArray transfer = {Variant("0001"), Variant("002"), Variant("01"),
                                   Variant(salesArray("002", {{"1", d6, {100, 2}}}, {}))};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(protocol::failureMessage(exp.call("setInsereServidor", transfer)), nullptr);
    }
    ASSERT_EQ(sql("ALTER TABLE export_row_away RENAME TO export_row"), 0);
    clock_.advance(std::chrono::minutes(90));

    std::string body = get("/metrics")->body;
    const auto has = [&](const std::string& line) {
        return body.find("\n" + line + "\n") != std::string::npos;
    };
    EXPECT_TRUE(has("qelexp_silent_after_seconds 3600"));
    EXPECT_TRUE(has("qelexp_station_seconds_since_contact{store=\"0001\",station=\"001\"} 5400"));
    EXPECT_TRUE(has("qelexp_station_day_incomplete{store=\"0001\",station=\"001\"} 1"));
    EXPECT_EQ(body.find("qelexp_station_day_incomplete{store=\"0001\",station=\"002\"}"),
              std::string::npos);
    EXPECT_TRUE(has("qelexp_station_transfer_failures_in_a_row{store=\"0001\",station=\"002\"} 3"))
        << body;
    EXPECT_TRUE(has("qelexp_memory_reserved_bytes 900"));
    EXPECT_TRUE(has("qelexp_memory_budget_bytes 1000"));

    // The text passes Prometheus' own checker.
    const auto file = folder_ / "metrics.txt";
    std::ofstream(file, std::ios::binary) << body;
    EXPECT_EQ(std::system(("promtool check metrics < '" + file.string() + "'").c_str()), 0) << body;

    // A stored transfer ends the station's run of failures.
    send("002", salesArray("002", {{"1", d6, {100, 2}}}, {{d6, 1, {100, 2}}}));
    body = get("/metrics")->body;
    EXPECT_EQ(body.find("qelexp_station_transfer_failures_in_a_row{"), std::string::npos);
}

server::StationStatus stationWith(const std::string& station,
                                  std::vector<server::DayShortfall> days) {
    server::StationStatus s;
    s.store = "0001";
    s.station = station;
    s.lastContact = DateTime::fromDateTime(2026, 12, 6, 11, 59, 0);
    s.daysChecked = static_cast<std::int64_t>(days.size());
    s.shortDays = std::move(days);
    return s;
}

std::string gauge(const std::string& metrics, const std::string& name) {
    const auto at = metrics.find("\n" + name + " ");
    if (at == std::string::npos) return "absent";
    const auto start = at + name.size() + 2;
    return metrics.substr(start, metrics.find('\n', start) - start);
}

TEST(Metrics, ShortfallsCountPerStationDayAndASurplusIsItsOwnState) {
    const DateTime now = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
    const DateTime d5 = DateTime::fromDate(2026, 12, 5), d6 = DateTime::fromDate(2026, 12, 6);
    const server::WideAmount big = 9000000000000000000;
    // (day, reported sales, reported amount, held sales, held amount)
    const std::vector<server::StationStatus> fleet = {
        // Short by 5 sales and 5.00.
        stationWith("001", {{d6, 10, 100000, 5, 50000}}),
        // Holds more than it reports, and a station reporting a negative
        // count: neither cancels the shortfalls of others.
        stationWith("002", {{d6, -7, 0, 0, 0}, {d5, 2, 20000, 4, 40000}}),
        // Fewer held sales but a larger held amount, and the reverse.
        stationWith("003", {{d6, 3, 30000, 1, 90000}, {d5, 1, 30000, 2, 10000}}),
        // Shortfalls past 64 bits, summed exactly.
        stationWith("004", {{d6, 0, static_cast<std::int64_t>(big), 0, -big}}),
    };
    server::ServerMetrics metrics;
    const std::string text = metrics.render(fleet, now, 60);
    EXPECT_EQ(gauge(text, "qelexp_day_incomplete"), "4");
    EXPECT_EQ(gauge(text, "qelexp_day_surplus"), "2");
    EXPECT_EQ(gauge(text, "qelexp_sales_missing"), "7");
    EXPECT_EQ(gauge(text, "qelexp_amount_missing"), "1800000000000007.00");
    EXPECT_EQ(gauge(text, "qelexp_stations{state=\"incomplete\"}"), "3");
    EXPECT_EQ(gauge(text, "qelexp_stations{state=\"surplus\"}"), "1");
    EXPECT_EQ(server::stationState(fleet[1], now, 60), "surplus");

    const std::string html = server::renderFleetPage(fleet, now, 60);
    EXPECT_NE(html.find("short by 5 sales and 5.00"), std::string::npos);
    EXPECT_NE(html.find("holds more than reported: 4 sales (4.00), the station reports 2 (2.00)"),
              std::string::npos);
    EXPECT_NE(html.find("3 with incomplete days"), std::string::npos);
}

TEST_F(Pages, ADayTheStationWasToldWasShortShowsHealedAndItsSalesCount) {
    start();
    const DateTime d5 = DateTime::fromDate(2026, 12, 5);
    send("001", salesArray("001", {{"1", d5, {100, 2}}}, {{d5, 3, {300, 2}}}));
    auto& exp = connections_->netInsereServidor;
    const Variant found = callChecked(exp, "getShortDays", {Variant("0001"), Variant("001")});
    ASSERT_EQ(found.asPacket().recordCount(), 1u);
    EXPECT_NE(get("/metrics")->body.find("\nqelexp_reconciled_sales_total 0\n"), std::string::npos);

    clock_.set(DateTime::fromDateTime(2026, 12, 6, 10, 30, 0));
    send("001",
         salesArray("001", {{"1", d5, {100, 2}}, {"2", d5, {100, 2}}, {"3", d5, {100, 2}}}, {}));
    const std::string page = get("/fleet")->body;
    EXPECT_NE(page.find("complete (1 day)<br><span class=\"healed\">05/12/2026: healed "
                        "06/12/2026 10:30, 2 sales re-sent</span>"),
              std::string::npos)
        << page;
    const std::string metrics = get("/metrics")->body;
    EXPECT_NE(metrics.find("\nqelexp_reconciled_sales_total 2\n"), std::string::npos);
    EXPECT_NE(metrics.find("\nqelexp_day_healed 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("qelexp_calls_total{method=\"getShortDays\"} 1\n"), std::string::npos);
    const auto file = folder_ / "metrics.txt";
    std::ofstream(file, std::ios::binary) << metrics;
    EXPECT_EQ(std::system(("promtool check metrics < '" + file.string() + "'").c_str()), 0);
}

TEST(FleetPage, AHealedDayThatDiffersAgainShowsOnlyItsShortfall) {
    const DateTime now = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
    const DateTime d4 = DateTime::fromDate(2026, 12, 4), d5 = DateTime::fromDate(2026, 12, 5);
    server::StationStatus s;
    s.store = "0001";
    s.station = "001";
    s.lastContact = now;
    s.daysChecked = 2;
    s.shortDays = {{d5, 3, 300, 2, 200}};
    s.healedDays = {{d4, now, now, 1}, {d5, now, now, 4}};
    const std::string html = server::renderFleetPage({s}, now, 60);
    EXPECT_NE(html.find("04/12/2026: healed 06/12/2026 12:00, 1 sale re-sent"), std::string::npos);
    EXPECT_EQ(html.find("05/12/2026: healed"), std::string::npos);
    EXPECT_NE(html.find("05/12/2026: short by 1 sale"), std::string::npos);
}

TEST(FleetPage, MarksSilentStationsAndEscapesWhatStationsSend) {
    const DateTime now = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
    std::vector<server::StationStatus> fleet(1000);
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        fleet[i].store = "0001";
        fleet[i].station = std::to_string(1000 + i);
        // Every hundredth station called 61 minutes ago, one exactly 60 ago.
        fleet[i].lastContact = now.addMinutes(i % 100 == 0 ? -61 : i == 1 ? -60 : -1);
    }
    fleet[2].station = "<b>&\"";
    const std::string html = server::renderFleetPage(fleet, now, 60);
    EXPECT_NE(html.find("<section id=\"silent\" data-count=\"10\" class=\"alarm\">"),
              std::string::npos);
    std::size_t rows = 0;
    for (auto p = html.find("<tr class="); p != std::string::npos;
         p = html.find("<tr class=", p + 1)) {
        ++rows;
    }
    EXPECT_EQ(rows, 1000u);
    EXPECT_EQ(html.find("<b>&\""), std::string::npos);
    EXPECT_NE(html.find("&lt;b&gt;&amp;&quot;"), std::string::npos);
    EXPECT_EQ(html.find("http"), std::string::npos);  // nothing loaded from elsewhere
    EXPECT_EQ(server::moneyText(-5), "0.00");
    EXPECT_EQ(server::moneyText(-50), "-0.01");
    EXPECT_EQ(server::moneyText(123450), "12.35");
    EXPECT_EQ(server::moneyText(1234567890123), "123456789.01");
    EXPECT_EQ(server::moneyText(server::WideAmount{-9000000000000000000} * 3),
              "-2700000000000000.00");
    EXPECT_EQ(server::integerText(0), "0");
}

TEST(FleetPage, ExceptionsLinkToTheGuideAndTheSilentBoxAlarmsOnlyWhenSomeoneIsSilent) {
    const DateTime now = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
    std::vector<server::StationStatus> fleet(4);
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        fleet[i].store = i < 2 ? "0001" : "0002";
        fleet[i].station = "00" + std::to_string(i);
        fleet[i].lastContact = now.addMinutes(-1);
    }
    const std::string calm = server::renderFleetPage(fleet, now, 60);
    EXPECT_NE(calm.find("<section id=\"silent\" data-count=\"0\">"), std::string::npos);
    EXPECT_EQ(calm.find("class=\"alarm\""), std::string::npos);
    EXPECT_EQ(calm.find("/operations#"), std::string::npos) << "a link where nothing is wrong";

    fleet[3].lastContact = now.addMinutes(-61);
    fleet[1].shortDays = {{DateTime::fromDate(2026, 12, 5), 3, 300, 2, 200}};
    fleet[0].refusedToday = 2;
    const std::string page = server::renderFleetPage(fleet, now, 60);
    EXPECT_NE(page.find("<section id=\"silent\" data-count=\"1\" class=\"alarm\">"),
              std::string::npos);
    // Silent, then short, then the rest, whatever order the store gave.
    const auto row = [&](const std::string& s) {
        return page.find("data-station=\"" + s + "\"><td>");
    };
    EXPECT_LT(row("0002/003"), row("0001/001"));
    EXPECT_LT(row("0001/001"), row("0001/000"));
    EXPECT_LT(row("0001/000"), row("0002/002"));
    // Every link lands on a heading of the guide the server serves.
    const std::string guide = server::renderOperationsGuide();
    std::size_t links = 0;
    for (auto at = page.find("href=\"/operations#"); at != std::string::npos;
         at = page.find("href=\"/operations#", at + 1)) {
        const auto start = at + 18, end = page.find('"', start);
        const std::string anchor = page.substr(start, end - start);
        EXPECT_NE(guide.find(" id=\"" + anchor + "\""), std::string::npos) << anchor;
        ++links;
    }
    EXPECT_EQ(links, 4u);  // the silent box, and one per exception in the table

    // One store: only its stations, the list still offers every store.
    const std::string one = server::renderFleetPage(fleet, now, 60, "0002");
    EXPECT_EQ(one.find("data-station=\"0001/"), std::string::npos);
    EXPECT_NE(one.find("2 stations of store 0002"), std::string::npos);
    EXPECT_NE(one.find("<option value=\"0002\" selected>0002 (2)</option>"), std::string::npos);
    EXPECT_NE(one.find("<option value=\"0001\">0001 (2)</option>"), std::string::npos);
    EXPECT_EQ(server::storeFromQuery("store=0002"), "0002");
    EXPECT_EQ(server::storeFromQuery("x=1&store=A+B%2F1"), "A B/1");
    EXPECT_EQ(server::storeFromQuery("stores=1&store=%"), "%");
    EXPECT_EQ(server::storeFromQuery(""), "");
}

TEST(OperationsGuide, HeadingsGetGitHubAnchorsAndCodeIsNotTakenForHeadings) {
    EXPECT_EQ(server::headingAnchor("Is a station behind?"), "is-a-station-behind");
    EXPECT_EQ(server::headingAnchor("`apt purge` & co"), "apt-purge--co");
    const std::string html =
        server::renderOperationsGuide("# Title\ntext <b>\n```sh\n# a comment\n```\n## Two\n");
    EXPECT_NE(html.find("<h1 id=\"title\">Title</h1>"), std::string::npos);
    EXPECT_NE(html.find("<h2 id=\"two\">Two</h2>"), std::string::npos);
    EXPECT_NE(html.find("text &lt;b&gt;\n```sh\n# a comment\n```"), std::string::npos) << html;
}

}  // namespace
}  // namespace qel::testing
