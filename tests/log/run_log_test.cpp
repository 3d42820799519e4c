#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/clock.h"
#include "core/error.h"
#include "log/run_log.h"

namespace fs = std::filesystem;
using qel::DateTime;

namespace {

class RunLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("qel_runlog_" + std::to_string(getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(folder_, fs::perms::owner_all, ec);
        fs::remove_all(folder_, ec);
    }
    static std::string read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path folder_;
    qel::ManualClock clock_{DateTime::fromDateTime(2026, 12, 6, 9, 52, 13)};
};

}  // namespace

TEST_F(RunLogTest, WritesDatedLinesInWindows1252WithCrLf) {
    qel::log::RunLog log(folder_, clock_);
    log.GravaLog("EXPORTAÇÃO REALIZADA COM SUCESSO");
    log.GravaLog("");
    const fs::path file = folder_ / "Dados" / "Qel_Exp" / "Qel_Exp061226.txt";
    EXPECT_EQ(log.fileFor(clock_.now()), file);
    EXPECT_EQ(read(file),
              "06/12/2026 09:52:13 - EXPORTA\xC7\xC3O REALIZADA COM SUCESSO\r\n"
              "06/12/2026 09:52:13 - \r\n");
}

TEST_F(RunLogTest, StartsANewFileAfterMidnightAndRecreatesADeletedFolder) {
    clock_.set(DateTime::fromDateTime(2026, 12, 6, 23, 59, 59));
    qel::log::RunLog log(folder_, clock_);
    log.GravaLog("antes");
    clock_.advance(std::chrono::seconds(2));
    log.GravaLog("depois");
    EXPECT_EQ(read(folder_ / "Dados/Qel_Exp/Qel_Exp061226.txt"), "06/12/2026 23:59:59 - antes\r\n");
    EXPECT_EQ(read(folder_ / "Dados/Qel_Exp/Qel_Exp071226.txt"),
              "07/12/2026 00:00:01 - depois\r\n");

    fs::remove_all(folder_ / "Dados");
    log.GravaLog("de novo");
    EXPECT_EQ(read(folder_ / "Dados/Qel_Exp/Qel_Exp071226.txt"),
              "07/12/2026 00:00:01 - de novo\r\n");

    // A clock set back a day writes to that day's file again.
    clock_.set(DateTime::fromDateTime(2026, 12, 6, 23, 59, 59));
    log.GravaLog("de volta");
    EXPECT_EQ(read(folder_ / "Dados/Qel_Exp/Qel_Exp061226.txt"),
              "06/12/2026 23:59:59 - de volta\r\n");
}

TEST_F(RunLogTest, TwoThreadsNeverInterleaveOrLoseLines) {
    qel::log::RunLog log(folder_, clock_);
    constexpr int kLines = 3000;
    auto writer = [&](const std::string& who) {
        for (int i = 0; i < kLines; ++i) log.GravaLog(who + " linha " + std::to_string(i));
    };
    std::thread main(writer, "principal");
    std::thread watchdog(writer, "watchdog");
    main.join();
    watchdog.join();

    std::istringstream lines(read(log.fileFor(clock_.now())));
    std::string line;
    int next[2] = {0, 0};
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        const std::string prefix = "06/12/2026 09:52:13 - ";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        const std::string rest = line.substr(prefix.size());
        const int who = rest.rfind("principal linha ", 0) == 0 ? 0 : 1;
        const std::string expected =
            (who == 0 ? "principal linha " : "watchdog linha ") + std::to_string(next[who]++);
        ASSERT_EQ(rest, expected);
        ++count;
    }
    EXPECT_EQ(count, 2 * kLines);
}

TEST_F(RunLogTest, AnUnwritableFolderRaisesTheSystemsMessage) {
#ifdef _WIN32
    const bool permissionsIgnored = true;  // POSIX permission bits mean little there
#else
    const bool permissionsIgnored = geteuid() == 0;
#endif
    if (permissionsIgnored) {
        // root ignores permissions: make the log folder's place a plain file instead.
        std::ofstream(folder_ / "Dados") << "x";
    } else {
        fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
    }
    qel::log::RunLog log(folder_, clock_);
    try {
        log.GravaLog("perdida");
        FAIL() << "expected an I/O error";
    } catch (const qel::IoError& e) {
        EXPECT_NE(std::string(e.what()).find("Dados"), std::string::npos) << e.what();
    }
}

TEST_F(RunLogTest, LastHandleFileHoldsExactlyOneLine) {
    qel::log::RunLog log(folder_, clock_);
    std::ofstream(folder_ / "lastHandle.txt") << "1\r\n2\r\n3\r\nlixo";
    log.GravaLastHandle("123456");
    EXPECT_EQ(read(folder_ / "lastHandle.txt"), "123456\r\n");
    log.GravaLastHandle("7");
    EXPECT_EQ(read(folder_ / "lastHandle.txt"), "7\r\n");
}
