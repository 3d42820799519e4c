// Edges of the server's smaller rules: a lab cleanup period of a minute or
// less, a sale's total wherever its packet puts it, the quickest calls in the
// latency histogram, a lone '-' in the station schema, and the store check
// leaving nothing open.

#include <sqlite3.h>

#include <filesystem>

#include "core/dataset.h"
#include "loopback_fixture.h"
#include "metrics.h"
#include "sample_packets.h"
#include "station_keys.h"
#include "store_check.h"

namespace qel::testing {
namespace {

using F = FieldType;

class ServerEdges : public Loopback {
  protected:
    void SetUp() override {
        Loopback::SetUp();
        serve();
        ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    }
    bool cleanupDue() {
        return callChecked(connections_->netInsereServidor, "getLimpezaDiaria",
                           {Variant("0001"), Variant("001")})
            .asBoolean();
    }
};

TEST_F(ServerEdges, ALabCleanupPeriodOfAMinuteOrLessStillCountsInMinutes) {
    for (const double period : {1.0, 0.5}) {
        app_->setCleanupEveryMinutes(period);
        callChecked(connections_->netInsereServidor, "setDtUltimaLimpeza",
                    {Variant("0001"), Variant("001")});
        clock_.set(clock_.now().addMinutes(period * 0.9));
        EXPECT_FALSE(cleanupDue()) << period;
        clock_.set(clock_.now().addMinutes(period * 0.2));
        EXPECT_TRUE(cleanupDue()) << period;  // the same day: only the period makes it due
    }
}

TEST_F(ServerEdges, ASalesTotalCountsWhereverItsPacketPutsIt) {
    const DateTime day = DateTime::fromDate(2026, 12, 6);
    Dataset venda({{"VRTOTVENDA", F::Decimal, 0, 2},
                   {"CDFILIAL", F::String, 4, 0},
                   {"CDCAIXA", F::String, 3, 0},
                   {"NRSEQVENDA", F::String, 12, 0},
                   {"DTENTRVENDA", F::DateTime, 0, 0}});
    venda.append(
        {Variant(Decimal{1250, 2}), Variant("0001"), Variant("001"), Variant("1"), Variant(day)});
    Dataset summary({{"CDFILIAL", F::String, 4, 0},
                     {"CDCAIXA", F::String, 3, 0},
                     {"DTENTRVENDA", F::DateTime, 0, 0},
                     {"QTVENDASMSDE", F::Integer, 0, 0},
                     {"VRTOTMSDE", F::Decimal, 0, 2}});
    summary.append({Variant("0001"), Variant("001"), Variant(day), Variant(std::int64_t{1}),
                    Variant(Decimal{1250, 2})});
    VariantArray packets = samplePacketArray(0);
    packets[16] = Variant(std::make_shared<const Dataset>(std::move(venda)));
    packets[33] = Variant(std::make_shared<const Dataset>(std::move(summary)));
    callChecked(connections_->netInsereServidor, "setInsereServidor",
                {Variant("0001"), Variant("001"), Variant("01"), Variant(packets)});
    const auto fleet = store_->fleet(clock_.now(), day);
    ASSERT_EQ(fleet.size(), 1u);
    EXPECT_EQ(fleet[0].daysChecked, 1);
    EXPECT_TRUE(fleet[0].shortDays.empty());
}

TEST(LatencyHistogram, ACallQuickerThanTheFirstBoundIsCountedUnderIt) {
    server::ServerMetrics metrics;
    metrics.observe("getLimpezaDiaria", 200, false, 0.0002, 0, 0);
    metrics.observe("getLimpezaDiaria", 200, false, 0.001, 0, 0);  // on the bound: under it
    metrics.observe("getLimpezaDiaria", 200, false, 0.0011, 0, 0);
    const std::string text = metrics.render({}, DateTime::fromDate(2026, 12, 6), 60);
    EXPECT_NE(text.find("qelexp_request_duration_seconds_bucket{le=\"0.001\"} 2\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("qelexp_request_duration_seconds_bucket{le=\"0.0025\"} 3\n"),
              std::string::npos)
        << text;
}

TEST(StationSchema, ALoneMinusIsNoComment) {
    const server::PrimaryKeys keys = server::parsePrimaryKeys(
        "CREATE TABLE T (A INTEGER DEFAULT -1 PRIMARY KEY, B INTEGER);\n"
        "CREATE TABLE U (C INTEGER, D INTEGER, CONSTRAINT PK_U PRIMARY KEY (C, D)) -- the end -");
    EXPECT_EQ(keys.at("T"), std::vector<std::string>{"A"});
    EXPECT_EQ(keys.at("U"), (std::vector<std::string>{"C", "D"}));
}

std::size_t openDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

TEST(StoreCheckFiles, CheckingAStoreLeavesNoFileOpen) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("qel_store_check_fds_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto central = folder / "central.db";
    server::openSqliteStore(central).reset();
    const std::size_t before = openDescriptors();
    for (int i = 0; i < 3; ++i) server::requireCentralStoreOrEmpty(central);
    EXPECT_EQ(openDescriptors(), before);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace qel::testing
