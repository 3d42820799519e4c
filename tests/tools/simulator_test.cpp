#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "simulator/random.h"
#include "simulator/simulator.h"

namespace qel::simulator {
namespace {

namespace fs = std::filesystem;

TEST(SimulatorRandom, DrawsStayInTheirRangeAndReachBothEnds) {
    Random random(7);
    EXPECT_EQ(random.below(0), 0u);
    bool low = false, high = false;
    for (int i = 0; i < 2000; ++i) {
        EXPECT_EQ(random.below(1), 0u);
        EXPECT_EQ(random.between(-4, -4), -4);
        const std::int64_t v = random.between(-3, 3);
        ASSERT_GE(v, -3);
        ASSERT_LE(v, 3);
        low = low || v == -3;
        high = high || v == 3;
        ASSERT_LT(random.below(UINT64_MAX / 2 + 2), UINT64_MAX / 2 + 2);  // often drawn again
    }
    EXPECT_TRUE(low && high);
    // The same seed, the same draws.
    Random a(11), b(11);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(a.between(0, 1'000'000), b.between(0, 1'000'000));
}

class TempFolder {
  public:
    TempFolder() {
        path_ = fs::temp_directory_path() /
                ("qel_sim_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~TempFolder() { fs::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
    static inline int counter_ = 0;
};

std::int64_t count(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(db) << " in: " << sql;
        return -1;
    }
    std::int64_t value = -1;
    if (sqlite3_step(stmt) == SQLITE_ROW) value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

// Every row of every table, in key order, as one text.
std::string dump(sqlite3* db) {
    std::string out;
    std::vector<std::string> tables;
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
                       "'sqlite%' ORDER BY name",
                       -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    for (const std::string& table : tables) {
        out += "#" + table + "\n";
        sqlite3_prepare_v2(db, ("SELECT * FROM " + table + " ORDER BY 1, 2, 3, 4").c_str(), -1,
                           &stmt, nullptr);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
                const auto* text = sqlite3_column_text(stmt, c);
                out += text != nullptr ? reinterpret_cast<const char*>(text) : "<null>";
                out += '|';
            }
            out += '\n';
        }
        sqlite3_finalize(stmt);
    }
    return out;
}

Options smallStation(const std::string& path) {
    Options o;
    o.dbPath = path;
    o.stores = {"0001", "0002"};
    o.stations = 2;
    o.days = 2;
    o.salesPerDay = 60;
    o.startDate = "2024-03-01";
    o.seed = 42;
    o.exportedFraction = 0.75;
    o.quiet = true;
    return o;
}

TEST(SimulatorFill, SameSeedGivesIdenticalContentAndOtherSeedDiffers) {
    TempFolder folder;
    Options a = smallStation(folder.file("a.db"));
    Options b = smallStation(folder.file("b.db"));
    Options c = smallStation(folder.file("c.db"));
    c.seed = 43;
    fillStation(a);
    fillStation(b);
    fillStation(c);
    Database da(a.dbPath), db(b.dbPath), dc(c.dbPath);
    const std::string first = dump(da.get());
    EXPECT_EQ(first, dump(db.get()));
    EXPECT_NE(first, dump(dc.get()));
}

TEST(SimulatorFill, EveryStateTheExportDistinguishesIsPresent) {
    TempFolder folder;
    const Options o = smallStation(folder.file("s.db"));
    const FillSummary summary = fillStation(o);
    Database db(o.dbPath);
    sqlite3* d = db.get();

    EXPECT_EQ(summary.sales, 2 * 2 * 2 * 60);
    EXPECT_EQ(count(d, "SELECT COUNT(*) FROM VENDA"), summary.sales);
    // 25 % of each station's 120 sales wait for export.
    EXPECT_EQ(count(d, "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA <> 'S'"), 4 * 30);
    EXPECT_EQ(summary.pending, 4 * 30);

    const std::pair<const char*, const char*> states[] = {
        {"new sale", "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'I'"},
        {"altered sale", "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'A'"},
        {"exported sale", "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'S'"},
        {"situation P", "SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'P'"},
        {"cancelled electronic without status",
         "SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'C' AND IDTPEMISVEND IN ('S','N') AND "
         "IDSTATUSNFCE IS NULL AND IDIMPVENDA IN ('I','A')"},
        {"cancelled electronic with status",
         "SELECT COUNT(*) FROM VENDA WHERE IDSITUVENDA = 'C' AND IDSTATUSNFCE = 'R'"},
        {"accepted cancelled SAT without key",
         "SELECT COUNT(*) FROM VENDA WHERE IDTPEMISVEND = 'S' AND IDSITUVENDA = 'C' AND "
         "IDSTATUSNFCE = 'A' AND NRACESSOCANC IS NULL AND IDIMPVENDA IN ('I','A')"},
        {"accepted cancelled SAT with key",
         "SELECT COUNT(*) FROM VENDA WHERE IDTPEMISVEND = 'S' AND IDSITUVENDA = 'C' AND "
         "IDSTATUSNFCE = 'A' AND NRACESSOCANC IS NOT NULL"},
        {"electronic sale without access key",
         "SELECT COUNT(*) FROM VENDA WHERE IDTPEMISVEND = 'N' AND NRACESSONFCE IS NULL AND "
         "IDSITUVENDA = 'O'"},
        {"non-electronic sale", "SELECT COUNT(*) FROM VENDA WHERE IDTPEMISVEND = 'E'"},
        {"sale without insertion time", "SELECT COUNT(*) FROM VENDA WHERE DTINSERCAO IS NULL"},
        {"open shift",
         "SELECT COUNT(*) FROM TURCAIXA WHERE DTFECHCAIX IS NULL AND IDATUTURCAIXA = 'I'"},
        {"closed exported shift",
         "SELECT COUNT(*) FROM TURCAIXA WHERE DTFECHCAIX IS NOT NULL AND IDATUTURCAIXA = 'S'"},
        {"item cancellation", "SELECT COUNT(*) FROM ITVENDACAN"},
        {"item discount", "SELECT COUNT(*) FROM ITVENDADES"},
        {"observation", "SELECT COUNT(*) FROM OBSITEMVENDA"},
        {"cash movement without sale",
         "SELECT COUNT(*) FROM MOVCAIXA WHERE NRSEQVENDA IS NULL AND IDIMPMOVCAIXA = 'N'"},
        {"re-typed movement of an altered sale",
         "SELECT COUNT(*) FROM MOVCAIXA M JOIN VENDA V USING (CDFILIAL, CDCAIXA, NRSEQVENDA) "
         "WHERE V.IDIMPVENDA = 'A' AND M.IDALTERTIPORECE = 'S'"},
        {"extract of a sale",
         "SELECT COUNT(*) FROM EXTRATOCONS WHERE NRSEQVENDA IS NOT NULL AND IDIMPEXTRATO = 'N'"},
        {"extract without sale", "SELECT COUNT(*) FROM EXTRATOCONS WHERE NRSEQVENDA IS NULL"},
        {"pending extract of an exported sale",
         "SELECT COUNT(*) FROM EXTRATOCONS E JOIN VENDA V USING (CDFILIAL, CDCAIXA, NRSEQVENDA) "
         "WHERE V.IDIMPVENDA = 'S' AND E.IDIMPEXTRATO <> 'S'"},
        {"customer movement of a sale",
         "SELECT COUNT(*) FROM MOVICLIE WHERE NRSEQVENDA IS NOT NULL"},
        {"customer movement without sale", "SELECT COUNT(*) FROM MOVICLIE WHERE CDCAIXA IS NULL"},
        {"loyalty item", "SELECT COUNT(*) FROM ITFIDELIDADE WHERE IDIMPTFIDEL = 'N'"},
        {"benefit movement", "SELECT COUNT(*) FROM MOVBENEFICIOCONS"},
        {"valid pending benefit", "SELECT COUNT(*) FROM MOVBENEFICIOCTR WHERE IDIMPTMOVCTR = 'I'"},
        {"Z reduction", "SELECT COUNT(*) FROM REDUCAOZ"},
        {"Z reduction taxes", "SELECT COUNT(*) FROM IMPOSTOREDZ"},
        {"Z reduction totalisers", "SELECT COUNT(*) FROM TOTNFISCREDZ"},
        {"Z reduction payments", "SELECT COUNT(*) FROM FORMPGTOREDZ"},
        {"finished order without update time",
         "SELECT COUNT(*) FROM PEDIDOQEL WHERE IDSTATUSPEDQEL = '4' AND DTULTATU IS NULL"},
        {"order item", "SELECT COUNT(*) FROM ITPEDIDOQEL"},
        {"kitchen sector", "SELECT COUNT(*) FROM KDS_TEMP_SETOREST"},
        {"operator log without sale", "SELECT COUNT(*) FROM LOGOPERQEL WHERE NRSEQVENDA IS NULL"},
        {"operator log of a sale", "SELECT COUNT(*) FROM LOGOPERQEL WHERE NRSEQVENDA IS NOT NULL"},
        {"access log", "SELECT COUNT(*) FROM LOGACESSO WHERE IDIMPLOGACESSO = 'N'"},
        {"NFC-e log", "SELECT COUNT(*) FROM LOGNFCE WHERE IDIMPLOGNFCE = 'N'"},
        {"NFC-e counter", "SELECT COUNT(*) FROM NOVOCODIGO WHERE CDCONTADOR LIKE 'NFCE_0001001%'"},
        {"voided number", "SELECT COUNT(*) FROM INUTILIZANFCE WHERE IDIMPINUTILIZA = 'N'"},
        {"delivery log", "SELECT COUNT(*) FROM LOGSINCDLV WHERE IDIMPLOG IS NULL"},
        {"command log", "SELECT COUNT(*) FROM CMD_LOG WHERE IDEXPREGISTRO = 'N'"},
        {"command item log", "SELECT COUNT(*) FROM ITCMD_LOG WHERE IDEXPREGISTRO = 'N'"},
        {"open command item", "SELECT COUNT(*) FROM ITCOMANDAVEN"},
        {"pending consumer", "SELECT COUNT(*) FROM CONSUMIDOR WHERE IDATUCONSUMI IN ('I','A')"},
        {"pending address", "SELECT COUNT(*) FROM ENDECONS WHERE IDATUENDECONS = 'N'"},
        {"store parameters", "SELECT COUNT(*) FROM PARAVEND WHERE IDTIPOEXPORTA = 'F'"},
        {"shop", "SELECT COUNT(*) FROM LOJA"},
        {"reversal", "SELECT COUNT(*) FROM ESTORNOVND"},
        {"day total", "SELECT COUNT(*) FROM TOTALDIACAIXA WHERE IDIMPTOTDIACAIXA = 'S'"},
    };
    for (const auto& [state, sql] : states) {
        EXPECT_GT(count(d, sql), 0) << state;
    }
    EXPECT_EQ(count(d, "SELECT COUNT(*) FROM CAIXA"), 4);
}

TEST(SimulatorFill, RowsAreConsistent) {
    TempFolder folder;
    Options o = smallStation(folder.file("s.db"));
    o.associatedStations = 1;
    fillStation(o);
    Database db(o.dbPath);
    sqlite3* d = db.get();

    // Every row tied to a sale finds its sale.
    for (const char* table :
         {"ITEMVENDA",        "ITVENDAIMPOS",    "ITVENDACAN",      "ITEMVENDAEST", "ITVENDADES",
          "OBSITEMVENDA",     "OBSITEMVENDAEST", "ITHRCOMANDA",     "ESTORNOVND",   "ITFIDELIDADE",
          "MOVBENEFICIOCONS", "LOGNFCE",         "USOCUPOMDESCQEL", "PROMOVENDA",   "VALEPRESENTE",
          "ARQXMLNFCESAT",    "MOVCAIXA",        "EXTRATOCONS",     "MOVICLIE",     "LOGOPERQEL"}) {
        EXPECT_EQ(count(d, std::string("SELECT COUNT(*) FROM ") + table +
                               " C WHERE C.NRSEQVENDA IS NOT NULL AND NOT EXISTS (SELECT 1 FROM "
                               "VENDA V WHERE V.CDFILIAL = C.CDFILIAL AND V.CDCAIXA = C.CDCAIXA "
                               "AND V.NRSEQVENDA = C.NRSEQVENDA)"),
                  0)
            << table;
    }
    // Item taxes, discounts and cancellations point at an item of the sale.
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM ITVENDAIMPOS T WHERE NOT EXISTS (SELECT 1 FROM ITEMVENDA "
                    "I WHERE I.CDFILIAL = T.CDFILIAL AND I.CDCAIXA = T.CDCAIXA AND I.NRSEQVENDA = "
                    "T.NRSEQVENDA AND I.NRSEQUITVEND = T.NRSEQUITVEND)"),
              0);
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM ITVENDACAN T JOIN ITEMVENDA I USING (CDFILIAL, CDCAIXA, "
                    "NRSEQVENDA, NRSEQUITVEND) WHERE I.IDSITUITEM <> 'C'"),
              0);
    // Totals: active items, discount, and the payments of every paid, non-cancelled sale.
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM VENDA V WHERE ROUND(V.VRTOTITENS * 100) <> (SELECT "
                    "ROUND(SUM(I.VRTOTITVEND) * 100) FROM ITEMVENDA I WHERE I.CDFILIAL = "
                    "V.CDFILIAL AND I.CDCAIXA = V.CDCAIXA AND I.NRSEQVENDA = V.NRSEQVENDA AND "
                    "I.IDSITUITEM <> 'C') OR V.QTITENSVENDA <> (SELECT COUNT(*) FROM ITEMVENDA I "
                    "WHERE I.CDFILIAL = V.CDFILIAL AND I.CDCAIXA = V.CDCAIXA AND I.NRSEQVENDA = "
                    "V.NRSEQVENDA AND I.IDSITUITEM <> 'C')"),
              0);
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM VENDA WHERE ROUND(VRTOTVENDA * 100) <> "
                    "ROUND((VRTOTITENS - VRDESCVENDA + VRACRVENDA) * 100)"),
              0);
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM VENDA V WHERE V.IDSITUVENDA = 'O' AND "
                    "ROUND(V.VRTOTVENDA * 100) <> (SELECT ROUND(SUM(CASE M.IDTIPOMOVIVE WHEN 'S' "
                    "THEN -M.VRMOVIVEND ELSE M.VRMOVIVEND END) * 100) FROM MOVCAIXA M WHERE "
                    "M.CDFILIAL = V.CDFILIAL AND M.CDCAIXA = V.CDCAIXA AND M.NRSEQVENDA = "
                    "V.NRSEQVENDA)"),
              0);
    // Item totals follow quantity, prices, discount and surcharge (product truncated).
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM ITEMVENDA WHERE ROUND(VRTOTITVEND * 100) <> "
                    "CAST(ROUND(QTPRODVEND * 10000) * ROUND((VRUNITVEND + IFNULL(VRUNITVENDCL, 0)) "
                    "* 1000) / 100000 AS INTEGER) - ROUND(VRDESITVEND * 100) + ROUND(VRACRITVEND "
                    "* 100)"),
              0);
    // Every sale belongs to a shift of its station, opened at DTABERTUR.
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM VENDA V WHERE NOT EXISTS (SELECT 1 FROM TURCAIXA T "
                    "WHERE T.CDFILIAL = V.CDFILIAL AND T.CDCAIXA = V.CDCAIXA AND T.DTABERCAIX = "
                    "V.DTABERTUR)"),
              0);
    // An altered shift has sales still waiting; an exported one has none.
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM TURCAIXA T WHERE T.IDATUTURCAIXA = 'S' AND EXISTS "
                    "(SELECT 1 FROM VENDA V WHERE V.CDFILIAL = T.CDFILIAL AND V.CDCAIXA = "
                    "T.CDCAIXA AND V.DTABERTUR = T.DTABERCAIX AND V.IDIMPVENDA <> 'S')"),
              0);
    // Date-times are stored in the one ISO form.
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM VENDA WHERE DTFECHAVENDA NOT GLOB "
                    "'[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] "
                    "[0-9][0-9]:[0-9][0-9]:[0-9][0-9].[0-9][0-9][0-9]' OR DTENTRVENDA NOT LIKE "
                    "'% 00:00:00.000'"),
              0);
    EXPECT_EQ(count(d, "SELECT COUNT(*) FROM CAIXA WHERE CDCAIXA = '001' AND DSCAIXAVEN = '002'"),
              2);
}

TEST(SimulatorFill, ExactPendingCountAndRefusesAFilledDatabase) {
    TempFolder folder;
    Options o = smallStation(folder.file("p.db"));
    o.stores = {"0007"};
    o.stations = 1;
    o.pendingSales = 17;
    fillStation(o);
    Database db(o.dbPath);
    EXPECT_EQ(count(db.get(), "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A')"), 17);
    // The pending sales are the newest ones.
    EXPECT_EQ(count(db.get(),
                    "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'S' AND NRSEQVENDA > "
                    "(SELECT MIN(NRSEQVENDA) FROM VENDA WHERE IDIMPVENDA <> 'S')"),
              0);
    EXPECT_THROW(fillStation(db.get(), o), DatabaseError);
}

TEST(SimulatorFill, SeparateDatabasesNumberTheirRowsThemselves) {
    TempFolder folder;
    Options o = smallStation(folder.file("store.db"));
    o.stores = {"0001"};
    o.stations = 3;
    o.associatedStations = 1;  // station 003 lives in station 001's database
    o.separate = true;
    const FillSummary s = fillStation(o);
    EXPECT_EQ(s.sales, 3 * 2 * 60);
    EXPECT_FALSE(fs::exists(o.dbPath));
    EXPECT_FALSE(fs::exists(folder.file("store-0001-003.db")));
    Database one(folder.file("store-0001-001.db"));
    Database two(folder.file("store-0001-002.db"));
    EXPECT_EQ(count(one.get(), "SELECT COUNT(DISTINCT CDCAIXA) FROM VENDA"), 2);
    EXPECT_EQ(count(one.get(), "SELECT COUNT(*) FROM VENDA WHERE CDCAIXA = '002'"), 0);
    EXPECT_EQ(count(two.get(), "SELECT COUNT(DISTINCT CDCAIXA) FROM VENDA"), 1);
    EXPECT_EQ(count(one.get(), "SELECT COUNT(*) FROM CAIXA WHERE DSCAIXAVEN = '003'"), 1);
    // Each database counts its customer movements from 1: the same local keys in both.
    for (sqlite3* db : {one.get(), two.get()}) {
        EXPECT_EQ(count(db, "SELECT MIN(CAST(NRSEQMOVCLI AS INTEGER)) FROM MOVICLIE"), 1);
    }
}

TEST(SimulatorAppend, PendingSalesContinueTheStation) {
    TempFolder folder;
    Options o = smallStation(folder.file("a.db"));
    fillStation(o);
    Database db(o.dbPath);
    sqlite3* d = db.get();
    const std::int64_t before =
        count(d, "SELECT COUNT(*) FROM VENDA WHERE CDFILIAL = '0001' AND CDCAIXA = '002'");
    const Millis at = *parseIso("2024-03-02 23:00:00.000");
    const std::int64_t last = addPendingSales(d, "0001", "002", 25, at, 9);
    EXPECT_EQ(last, before + 25);
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM VENDA WHERE CDFILIAL = '0001' AND CDCAIXA = '002' AND "
                    "IDIMPVENDA = 'I' AND DTFECHAVENDA >= '2024-03-02 23:00:00.000'"),
              25);
    // They join the open shift and carry items whose totals add up.
    EXPECT_EQ(count(d,
                    "SELECT COUNT(DISTINCT DTABERTUR) FROM VENDA WHERE CDFILIAL = '0001' AND "
                    "CDCAIXA = '002' AND DTFECHAVENDA >= '2024-03-02 23:00:00.000'"),
              1);
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM VENDA V WHERE V.DTFECHAVENDA >= '2024-03-02 23:00' AND "
                    "ROUND(V.VRTOTITENS * 100) <> (SELECT ROUND(SUM(I.VRTOTITVEND) * 100) FROM "
                    "ITEMVENDA I WHERE I.CDFILIAL = V.CDFILIAL AND I.CDCAIXA = V.CDCAIXA AND "
                    "I.NRSEQVENDA = V.NRSEQVENDA AND I.IDSITUITEM <> 'C')"),
              0);
    // A station without an open shift gets one.
    execute(d, "UPDATE TURCAIXA SET DTFECHCAIX = '2024-03-02 22:00:00.000'");
    addPendingSales(d, "0002", "001", 3, at, 9);
    EXPECT_EQ(count(d,
                    "SELECT COUNT(*) FROM TURCAIXA WHERE CDFILIAL = '0002' AND CDCAIXA = '001' AND "
                    "DTFECHCAIX IS NULL AND IDATUTURCAIXA = 'I'"),
              1);
}

TEST(SimulatorLive, InsertsWholeSalesWhileAnotherConnectionReads) {
    TempFolder folder;
    Options o = smallStation(folder.file("live.db"));
    o.stores = {"0001"};
    o.days = 1;
    fillStation(o);
    const std::int64_t before = [&] {
        Database db(o.dbPath);
        return count(db.get(), "SELECT COUNT(*) FROM VENDA");
    }();

    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    LiveSummary summary;
    std::thread writer([&] {
        summary = runLive(o.dbPath, 40, 1.5, 5, stop);
        done = true;
    });
    // A reader never sees a sale without its items.
    Database reader(o.dbPath);
    int reads = 0;
    while (!done) {
        EXPECT_EQ(count(reader.get(),
                        "SELECT COUNT(*) FROM VENDA V WHERE NOT EXISTS (SELECT 1 FROM ITEMVENDA I "
                        "WHERE I.CDFILIAL = V.CDFILIAL AND I.CDCAIXA = V.CDCAIXA AND I.NRSEQVENDA "
                        "= V.NRSEQVENDA)"),
                  0);
        ++reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    writer.join();
    EXPECT_GT(reads, 5);
    EXPECT_GE(summary.sales, 30);
    EXPECT_LE(summary.sales, 62);
    EXPECT_EQ(count(reader.get(), "SELECT COUNT(*) FROM VENDA") - before, summary.sales);
    EXPECT_EQ(count(reader.get(),
                    "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA = 'I' AND DTFECHAVENDA > "
                    "'2024-03-02'"),
              summary.sales);

    // A stop request ends an unbounded run promptly.
    std::thread unbounded([&] { summary = runLive(o.dbPath, 10, 0, 5, stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    unbounded.join();
    EXPECT_LT(summary.seconds, 2.0);
}

TEST(SimulatorOptions, SeparateNamesOneFilePerStation) {
    EXPECT_TRUE(parseArguments({"--db", "s.db", "--separate"}).options.separate);
    EXPECT_FALSE(parseArguments({"--db", "s.db", "--separate", "--live"}).error.empty());
    EXPECT_EQ(separateDatabasePath("/tmp/a.b/station.db", "0001", "002"),
              "/tmp/a.b/station-0001-002.db");
    EXPECT_EQ(separateDatabasePath("/tmp/a.b/station", "0001", "002"),
              "/tmp/a.b/station-0001-002.db");
}

TEST(SimulatorOptions, ParsesTheCommandLine) {
    const ParseResult ok = parseArguments({"--db",
                                           "x.db",
                                           "--stores",
                                           "3",
                                           "--stations",
                                           "4",
                                           "--days",
                                           "5",
                                           "--sales-per-day",
                                           "7",
                                           "--seed",
                                           "9",
                                           "--exported-fraction",
                                           "0.5",
                                           "--start-date",
                                           "2024-02-29",
                                           "--live",
                                           "--rate",
                                           "2.5",
                                           "--duration",
                                           "10",
                                           "--central",
                                           "c.db"});
    ASSERT_TRUE(ok.error.empty()) << ok.error;
    EXPECT_EQ(ok.options.stores, (std::vector<std::string>{"0001", "0002", "0003"}));
    EXPECT_EQ(ok.options.stations, 4);
    EXPECT_EQ(ok.options.days, 5);
    EXPECT_EQ(ok.options.salesPerDay, 7);
    EXPECT_EQ(ok.options.seed, 9u);
    EXPECT_DOUBLE_EQ(ok.options.exportedFraction, 0.5);
    EXPECT_TRUE(ok.options.live);
    EXPECT_DOUBLE_EQ(ok.options.rate, 2.5);
    EXPECT_EQ(ok.options.centralPath, "c.db");

    EXPECT_EQ(parseArguments({"--db", "x", "--store", "12", "--store", "0034"}).options.stores,
              (std::vector<std::string>{"0012", "0034"}));
    EXPECT_TRUE(parseArguments({"--help"}).showHelp);
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--stations", "2"},
                                                {"--db", "x", "--exported-fraction", "1.5"},
                                                {"--db", "x", "--start-date", "2023-02-29"},
                                                {"--db", "x", "--stations"},
                                                {"--db", "x", "--days", "two"},
                                                {"--db", "x", "--rate", "0"},
                                                {"--db", "x", "--bogus"}}) {
        EXPECT_FALSE(parseArguments(bad).error.empty()) << bad.back();
    }
}

TEST(SimulatorCentral, CreatesOnePasswordRowPerConsumer) {
    TempFolder folder;
    Options o = smallStation(folder.file("station.db"));
    o.centralPath = folder.file("QELCENTRAL.db");
    fillStation(o);
    Database station(o.dbPath);
    Database central(o.centralPath, true);
    EXPECT_EQ(count(central.get(), "SELECT COUNT(*) FROM SENHACONS"),
              count(station.get(), "SELECT COUNT(*) FROM CONSUMIDOR"));
    EXPECT_EQ(count(station.get(),
                    "SELECT COUNT(*) FROM PARAVEND WHERE IDSENCONSCENTRAL = 'S' AND NMSQLNAMEDB "
                    "= 'QELCENTRAL'"),
              2);
}

}  // namespace
}  // namespace qel::simulator
