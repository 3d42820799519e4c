// A station asks which of its days the central store holds short of its own
// summary (getShortDays), on every engine; the days it was told about show
// as healed once complete, with the sales received for them.

#include <limits>

#include "application_server.h"
#include "core/dataset.h"
#include "day_completeness.h"
#include "store_fixture.h"

namespace qel::testing {
namespace {

using server::CallRejected;
using server::DaySummary;
using server::InsertBatch;
using server::SaleFact;

const DateTime kNow = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
const DateTime kToday = DateTime::fromDate(2026, 12, 6);

SaleFact sale(const std::string& station, const std::string& seq, DateTime day,
              std::int64_t amount) {
    const std::string k = station + "/" + seq;
    return {Bytes(k.begin(), k.end()), "0001", station, day, amount};
}

// A transfer of `sales` with the station's own summary of `summaries`.
InsertBatch transfer(const std::string& station, std::vector<SaleFact> sales,
                     std::vector<DaySummary> summaries = {}, DateTime at = kNow) {
    InsertBatch b;
    b.store = "0001";
    b.station = station;
    b.receivedAt = at;
    b.sales = std::move(sales);
    b.summaries = std::move(summaries);
    return b;
}

class ShortDays : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (IsSkipped()) return;
        clock_.set(kNow);
        app_ = std::make_unique<server::ApplicationServer>(*store_, clock_);
    }

    // getShortDays as `grant` calls it (null: an open server).
    const Dataset& ask(VariantArray args, const server::StationGrant* grant = nullptr) {
        server::Caller caller;
        caller.peer = "127.0.0.1:5000";
        caller.grant = grant;
        answer_ =
            app_->call(caller, {"Exp.rdmInsereServidor", "getShortDays", std::move(args)}).answer;
        const VariantArray& envelope = answer_.asArray();
        EXPECT_TRUE(envelope.at(0).asBoolean()) << envelope.at(1).asString();
        return envelope.at(1).asPacket();
    }
    const Dataset& ask(const std::string& station, std::int64_t days = 0) {
        VariantArray args{Variant("0001"), Variant(station)};
        if (days > 0) args.emplace_back(days);
        return ask(std::move(args));
    }

    std::vector<DateTime> days(const Dataset& answer) {
        std::vector<DateTime> out;
        for (const Row& r : answer.rows()) out.push_back(r[0].asDateTime());
        return out;
    }

    ManualClock clock_;
    std::unique_ptr<server::ApplicationServer> app_;
    Variant answer_;
};

TEST_P(ShortDays, ListsTheCallersShortDaysOfTheWindowOnly) {
    const DateTime yesterday = kToday.addDays(-1), before = kToday.addDays(-2);
    // 001: yesterday lacks two sales (and 200), the day before is complete,
    // one day lacks only amount, and one short day lies before the window.
    store_->putBatch(
        transfer("001",
                 {sale("001", "1", yesterday, 1000000), sale("001", "2", before, 50),
                  sale("001", "3", before, 50), sale("001", "4", kToday.addDays(-5), 10)},
                 {{"0001", "001", yesterday, 3, 3000000},
                  {"0001", "001", before, 2, 100},
                  {"0001", "001", kToday.addDays(-5), 1, 20},
                  {"0001", "001", kToday.addDays(-40), 4, 400}}));
    // 002 has a short day of its own.
    store_->putBatch(transfer("002", {}, {{"0001", "002", kToday.addDays(-3), 1, 10}}));

    const Dataset& mine = ask("001");
    ASSERT_EQ(days(mine), (std::vector<DateTime>{kToday.addDays(-5), yesterday}));
    const Row& y = mine.rows()[1];
    EXPECT_EQ(y[mine.findField("QTVENDASMSDE")].asInteger(), 3);
    EXPECT_EQ(y[mine.findField("VRTOTMSDE")].asString(), "300.0000");
    EXPECT_EQ(y[mine.findField("QTVENDASSERV")].asInteger(), 1);
    EXPECT_EQ(y[mine.findField("VRTOTSERV")].asString(), "100.0000");
    EXPECT_EQ(y[mine.findField("QTVENDASFALTA")].asInteger(), 2);
    EXPECT_EQ(y[mine.findField("VRTOTFALTA")].asString(), "200.0000");
    EXPECT_EQ(mine.rows()[0][mine.findField("QTVENDASFALTA")].asInteger(), 0);

    // The window is the last N days, today included: its first day is in.
    EXPECT_EQ(days(ask("001", 2)), (std::vector<DateTime>{yesterday}));
    EXPECT_TRUE(days(ask("001", 1)).empty());
    EXPECT_EQ(days(ask("001", 41)).front(), kToday.addDays(-40));
    EXPECT_EQ(days(ask("001", 40)).front(), kToday.addDays(-5));

    // Another station hears only of its own day, and one without a summary of none.
    EXPECT_EQ(days(ask("002")), (std::vector<DateTime>{kToday.addDays(-3)}));
    EXPECT_TRUE(days(ask("003")).empty());
}

TEST_P(ShortDays, ACredentialAsksOnlyForItsOwnStations) {
    store_->putBatch(transfer("001", {}, {{"0001", "001", kToday, 1, 10}}));
    store_->putBatch(transfer("002", {}, {{"0001", "002", kToday, 1, 10}}));
    const server::StationGrant one{"0001", {"001"}, false};
    EXPECT_EQ(days(ask({Variant("0001"), Variant("001")}, &one)), (std::vector<DateTime>{kToday}));
    auto refused = [&](VariantArray args, const server::StationGrant* grant) {
        try {
            app_->call({"p", grant, {}}, {"Exp.rdmInsereServidor", "getShortDays", args});
        } catch (const CallRejected& e) {
            return e.status();
        }
        return 200;
    };
    EXPECT_EQ(refused({Variant("0001"), Variant("002")}, &one), 403);
    const server::StationGrant otherStore{"0002", {}, true};
    EXPECT_EQ(refused({Variant("0001"), Variant("001")}, &otherStore), 403);
    // Arguments of another shape are the request's fault.
    EXPECT_EQ(refused({Variant("0001")}, nullptr), 400);
    EXPECT_EQ(refused({Variant("0001"), Variant("001"), Variant(std::int64_t{0})}, nullptr), 400);
    EXPECT_EQ(refused({Variant("0001"), Variant("001"), Variant(std::int64_t{3661})}, nullptr),
              400);
    EXPECT_EQ(refused({Variant("0001"), Variant("001"), Variant("31")}, nullptr), 400);
    EXPECT_EQ(refused({Variant("0001"), Variant("001"), Variant(std::int64_t{3660})}, nullptr),
              200);
    EXPECT_EQ(refused({Variant("0001"), Variant("001"), Variant::null()}, nullptr), 200);
}

TEST_P(ShortDays, ADayFoundShortShowsAsHealedWithTheSalesItReceived) {
    const DateTime yesterday = kToday.addDays(-1);
    store_->putBatch(
        transfer("001", {sale("001", "1", yesterday, 100)}, {{"0001", "001", yesterday, 3, 300}}));
    // A day short but never asked about shows no healing when it completes.
    store_->putBatch(transfer("002", {}, {{"0001", "002", yesterday, 1, 10}}));
    ASSERT_EQ(ask("001").rows().size(), 1u);
    clock_.set(kNow.addMinutes(30));
    ASSERT_EQ(ask("001").rows().size(), 1u);  // asked again: the first finding stands

    // One sale arrives, and the first one again: one received, not healed.
    store_->putBatch(transfer("001",
                              {sale("001", "1", yesterday, 100), sale("001", "2", yesterday, 100)},
                              {}, kNow.addMinutes(40)));
    auto fleet = store_->fleet(kNow, kToday.addDays(-30));
    EXPECT_TRUE(fleet[0].healedDays.empty());
    EXPECT_EQ(fleet[0].resentSales, 1);

    store_->putBatch(transfer("001", {sale("001", "3", yesterday, 100)}, {}, kNow.addMinutes(50)));
    store_->putBatch(transfer("002", {sale("002", "1", yesterday, 10)}, {}, kNow.addMinutes(50)));
    fleet = store_->fleet(kNow, kToday.addDays(-30));
    ASSERT_EQ(fleet[0].healedDays.size(), 1u);
    const server::HealedDay& healed = fleet[0].healedDays[0];
    EXPECT_EQ(healed.day, yesterday);
    EXPECT_EQ(healed.foundAt, kNow);
    EXPECT_EQ(healed.healedAt, kNow.addMinutes(50));
    EXPECT_EQ(healed.sales, 2);
    EXPECT_EQ(fleet[0].resentSales, 2);
    EXPECT_TRUE(fleet[1].healedDays.empty());
    EXPECT_EQ(fleet[1].resentSales, 0);
    EXPECT_TRUE(ask("001").rows().empty());
    // A healed day outside the fleet's window is not shown.
    EXPECT_TRUE(store_->fleet(kNow, kToday)[0].healedDays.empty());

    // The station reports a fourth sale: short again, found again; until it
    // heals, the day shows no healing; the sales of both findings count.
    store_->putBatch(
        transfer("001", {}, {{"0001", "001", yesterday, 4, 400}}, kNow.addMinutes(60)));
    clock_.set(kNow.addMinutes(120));
    ASSERT_EQ(ask("001").rows().size(), 1u);
    EXPECT_TRUE(store_->fleet(kNow, kToday.addDays(-30))[0].healedDays.empty());
    store_->putBatch(transfer("001", {sale("001", "4", yesterday, 100)}, {}, kNow.addMinutes(180)));
    fleet = store_->fleet(kNow, kToday.addDays(-30));
    ASSERT_EQ(fleet[0].healedDays.size(), 1u);
    EXPECT_EQ(fleet[0].healedDays[0].foundAt, kNow.addMinutes(120));
    EXPECT_EQ(fleet[0].healedDays[0].sales, 1);
    EXPECT_EQ(fleet[0].resentSales, 3);
}

// A station's day total read from its own summary, through the server's
// reading of RELVENDAS: beyond 64 bits of ten-thousandths it is the largest
// amount, so the day stays short of the little the server holds.
TEST_P(ShortDays, ADayTotalBeyondSixtyFourBitsIsShortOfWhatIsHeld) {
    const DateTime yesterday = kToday.addDays(-1);
    Dataset summary({{"CDFILIAL", FieldType::String, 4, 0},
                     {"CDCAIXA", FieldType::String, 3, 0},
                     {"DTENTRVENDA", FieldType::DateTime, 0, 0},
                     {"QTVENDASMSDE", FieldType::Integer, 0, 0},
                     {"VRTOTMSDE", FieldType::String, 30, 0}});
    summary.append({Variant("0001"), Variant("001"), Variant(yesterday), Variant(std::int64_t{1}),
                    Variant("12345678901234567890.50")});
    const std::vector<DaySummary> read = server::daySummaries(summary, nullptr);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].amount, server::kLargestAmount);
    store_->putBatch(transfer("001", {sale("001", "1", yesterday, 100)}, read));
    const Dataset& shortDays = ask("001");
    ASSERT_EQ(days(shortDays), (std::vector<DateTime>{yesterday}));
    EXPECT_EQ(shortDays.rows()[0][shortDays.findField("QTVENDASFALTA")].asInteger(), 0);
}

TEST(AmountOf, IsExactWithinSixtyFourBitsAndTheLargestOfItsSignBeyond) {
    using server::amountOf;
    using server::kLargestAmount;
    constexpr std::int64_t kWholeMax = INT64_MAX / 10000;  // the largest whole amount held exactly
    EXPECT_EQ(amountOf(Variant(Decimal{12345, 2})), 1234500);
    EXPECT_EQ(amountOf(Variant(kWholeMax)), kWholeMax * 10000);
    EXPECT_EQ(amountOf(Variant(-kWholeMax)), -kWholeMax * 10000);
    EXPECT_EQ(amountOf(Variant(kWholeMax + 1)), kLargestAmount);
    EXPECT_EQ(amountOf(Variant(-kWholeMax - 1)), -kLargestAmount);
    EXPECT_EQ(amountOf(Variant(Decimal{INT64_MAX, 0})), kLargestAmount);
    EXPECT_EQ(amountOf(Variant(1e300)), kLargestAmount);
    EXPECT_EQ(amountOf(Variant(-1e300)), -kLargestAmount);
    EXPECT_EQ(amountOf(Variant(std::numeric_limits<double>::infinity())), kLargestAmount);
    EXPECT_EQ(amountOf(Variant("-98765432109876543210")), -kLargestAmount);
    EXPECT_EQ(amountOf(Variant("2.5")), 25000);
    // Nothing to count: no amount.
    EXPECT_EQ(amountOf(Variant::null()), 0);
    EXPECT_EQ(amountOf(Variant("abc")), 0);
    EXPECT_EQ(amountOf(Variant(std::numeric_limits<double>::quiet_NaN())), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, ShortDays, ::testing::Values("sqlite", "postgres"), engineName);

}  // namespace
}  // namespace qel::testing
