// The simulator as an operator runs it: signals during a fill, bad numbers,
// the command-line conventions.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <thread>

#include "child_process.h"

namespace {

using qel::testing::ChildProcess;
using qel::testing::ChildResult;
using qel::testing::runChild;

class SimulatorProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("qel_simproc_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        if (!HasFailure()) std::filesystem::remove_all(dir);
    }
    std::int64_t count(const std::string& sql) {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open((dir / "s.db").c_str(), &db), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
        std::int64_t n = -1;
        if (sqlite3_step(st) == SQLITE_ROW) n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
        return n;
    }
    std::filesystem::path dir;
};

TEST_F(SimulatorProcess, SignalDuringAFillKeepsWholeSales) {
    for (const int sig : {SIGTERM}) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        // Far more sales than can be written before the signal arrives.
        ChildProcess fill({SIMULATOR, "--db=" + (dir / "s.db").string(), "--stations", "1",
                           "--days", "200", "--sales-per-day", "20000"},
                          {}, dir);
        // Progress shows every 10,000 sales.
        for (int i = 0; i < 6000 && fill.errSoFar().find("sales written") == std::string::npos;
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_NE(fill.errSoFar().find("sales written"), std::string::npos);
        fill.signal(sig);
        // A bound, not a measurement: the fill ends at its next sale.
        const ChildResult r = fill.wait(std::chrono::seconds(20));
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find("stopped by a signal after "), std::string::npos) << r.err;
        EXPECT_EQ(
            count("SELECT COUNT(*) FROM pragma_integrity_check WHERE integrity_check <> 'ok'"), 0);
        const std::int64_t sales = count("SELECT COUNT(*) FROM VENDA");
        EXPECT_GE(sales, 10000);
        EXPECT_LT(sales, 4'000'000);
        // Every sale written has its items; no item lacks its sale.
        EXPECT_EQ(count("SELECT COUNT(*) FROM VENDA V WHERE NOT EXISTS (SELECT 1 FROM ITEMVENDA I "
                        "WHERE I.CDFILIAL = V.CDFILIAL AND I.CDCAIXA = V.CDCAIXA AND "
                        "I.NRSEQVENDA = V.NRSEQVENDA)"),
                  0);
        EXPECT_EQ(count("SELECT COUNT(*) FROM ITEMVENDA I WHERE NOT EXISTS (SELECT 1 FROM VENDA V "
                        "WHERE I.CDFILIAL = V.CDFILIAL AND I.CDCAIXA = V.CDCAIXA AND "
                        "I.NRSEQVENDA = V.NRSEQVENDA)"),
                  0);
    }
}

TEST_F(SimulatorProcess, CommandLineConventionsAndRanges) {
    const std::string exe = SIMULATOR;
    const std::string db = "--db=" + (dir / "s.db").string();
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> usage = {
        {{db, "--sales-per-day", "99999999999"},
         "--sales-per-day takes a whole number from 0 to 1000000, not '99999999999'"},
        {{db, "--sales-per-day=-1"}, "--sales-per-day takes a whole number from 0 to 1000000"},
        {{db, "--associated", "5000"}, "--associated takes a whole number from 0 to 998"},
        {{db, "--exported-fraction", "nan"}, "--exported-fraction must be between 0 and 1"},
        {{db, "--rate", "inf"}, "--rate takes a number of sales per second"},
        {{db, "--duration=1e12"}, "--duration takes seconds from 0 to 31536000"},
        {{db, "--stations", "999", "--days", "3650", "--sales-per-day", "1000000"},
         "that is 3646350000000 sales; at most 100000000"},
        {{db, "--bogus"}, "unknown option --bogus"},
        {{db, "stray"}, "unexpected argument stray"},
        {{"--stations", "2"}, "--db PATH is required"},
    };
    for (const auto& c : usage) {
        std::vector<std::string> argv{exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ChildResult r = runChild(argv, {}, dir);
        EXPECT_EQ(r.exitCode, 2) << c.message << r.err;
        EXPECT_EQ(r.err.rfind("qelexp-simulator: " + c.message, 0), 0u) << r.err;
        EXPECT_NE(r.err.find("Usage: qelexp-simulator"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(dir / "s.db"));
    }
    for (const char* help : {"-h", "--help"}) {
        const ChildResult r = runChild({exe, help}, {}, dir);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.rfind("Usage: qelexp-simulator", 0), 0u);
    }
    const ChildResult version = runChild({exe, "--version"}, {}, dir);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("qelexp-simulator ", 0), 0u);
    // --name=value and --name value are the same.
    const ChildResult fill =
        runChild({exe, db, "--stations=1", "--days", "1", "--sales-per-day=3", "--quiet"}, {}, dir);
    EXPECT_EQ(fill.exitCode, 0) << fill.err;
    EXPECT_EQ(count("SELECT COUNT(*) FROM VENDA"), 3);
}

}  // namespace
