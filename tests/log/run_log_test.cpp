#include <gtest/gtest.h>
#include <unistd.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#endif

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

TEST_F(RunLogTest, ADeletedFileIsCreatedAgainForTheNextLine) {
    qel::log::RunLog log(folder_, clock_);
    const fs::path file = log.fileFor(clock_.now());
    for (int round = 0; round < 2; ++round) {  // the second deletion hits the file made anew
        log.GravaLog("antes " + std::to_string(round));
        ASSERT_TRUE(fs::remove(file));
        log.GravaLog("depois " + std::to_string(round));
        EXPECT_EQ(read(file), "06/12/2026 09:52:13 - depois " + std::to_string(round) + "\r\n");
    }
}

TEST_F(RunLogTest, AFileReplacedByARenameReceivesTheNextLines) {
    qel::log::RunLog log(folder_, clock_);
    const fs::path file = log.fileFor(clock_.now());
    log.GravaLog("na antiga");
    const fs::path other = folder_ / "nova.txt";
    std::ofstream(other, std::ios::binary) << "copiada\r\n";
    fs::rename(other, file);
    log.GravaLog("na nova");
    log.GravaLog("de novo");
    EXPECT_EQ(read(file),
              "copiada\r\n06/12/2026 09:52:13 - na nova\r\n06/12/2026 09:52:13 - de novo\r\n");
}

// A file renamed away (rotated) keeps what was written to it; the next line
// goes to a new file at the path.
TEST_F(RunLogTest, AFileRenamedAwayKeepsItsLinesAndTheNextGoesToANewFile) {
    qel::log::RunLog log(folder_, clock_);
    const fs::path file = log.fileFor(clock_.now());
    log.GravaLog("linha 0");
    const fs::path rotated = folder_ / "rodado.txt";
    fs::rename(file, rotated);
    log.GravaLog("linha 1");
    log.GravaLog("linha 2");
    EXPECT_EQ(read(rotated), "06/12/2026 09:52:13 - linha 0\r\n");
    EXPECT_EQ(read(file), "06/12/2026 09:52:13 - linha 1\r\n06/12/2026 09:52:13 - linha 2\r\n");
}

// The folder renamed aside and a plain file put in its place: the path names
// no file, so the line is lost with an I/O error rather than written to the
// file moved aside; once the folder is back, lines go to its file again.
TEST_F(RunLogTest, AFolderMovedAsideTakesNoLineWhileItsPlaceIsBlocked) {
    qel::log::RunLog log(folder_, clock_);
    const fs::path file = log.fileFor(clock_.now());
    const fs::path logFolder = folder_ / "Dados" / "Qel_Exp";
    const fs::path aside = folder_ / "aside";
    log.GravaLog("antes");
    fs::rename(logFolder, aside);
    std::ofstream(logFolder) << "x";
    EXPECT_THROW(log.GravaLog("perdida"), qel::IoError);
    fs::remove(logFolder);
    fs::rename(aside, logFolder);
    log.GravaLog("depois");
    EXPECT_EQ(read(file), "06/12/2026 09:52:13 - antes\r\n06/12/2026 09:52:13 - depois\r\n");
}

// A folder above the log's folder renamed aside takes the open file with it:
// the next line goes to a new file at the path, also when it happens again
// to the folders made anew.
TEST_F(RunLogTest, AFolderAboveRenamedAsideSendsTheNextLinesToTheNewPath) {
    fs::create_directories(folder_ / "Dados" / "Qel_Exp");
    qel::log::RunLog log(folder_, clock_);
    const fs::path file = log.fileFor(clock_.now());
    const std::string stamp = "06/12/2026 09:52:13 - ";
    std::string moved;
    for (int round = 0; round < 3; ++round) {
        const std::string n = std::to_string(round);
        log.GravaLog("antes " + n);
        log.GravaLog("ainda " + n);
        fs::rename(folder_ / "Dados", folder_ / ("aside" + n));
        log.GravaLog("depois " + n);
        EXPECT_EQ(read(folder_ / ("aside" + n) / "Qel_Exp" / file.filename()),
                  moved + stamp + "antes " + n + "\r\n" + stamp + "ainda " + n + "\r\n")
            << round;
        moved = stamp + "depois " + n + "\r\n";
        EXPECT_EQ(read(file), moved) << round;
    }
}

// The folder taken away (here a plain file in its place): the line is lost
// with an I/O error, and the lines after the folder is back are written.
TEST_F(RunLogTest, LinesResumeWhenTheFolderComesBack) {
    qel::log::RunLog log(folder_, clock_);
    const fs::path file = log.fileFor(clock_.now());
    log.GravaLog("primeira");
    fs::remove_all(folder_ / "Dados");
    std::ofstream(folder_ / "Dados") << "x";
    EXPECT_THROW(log.GravaLog("perdida"), qel::IoError);
    EXPECT_THROW(log.GravaLog("perdida de novo"), qel::IoError);
    fs::remove(folder_ / "Dados");
    log.GravaLog("de volta");
    EXPECT_EQ(read(file), "06/12/2026 09:52:13 - de volta\r\n");
}

#ifndef _WIN32
// A line is in the file once the call returns: a process killed right after
// writing has lost none of its lines.
TEST_F(RunLogTest, LinesWrittenSurviveTheProcessBeingKilled) {
    const fs::path file = folder_ / "Dados" / "Qel_Exp" / "Qel_Exp061226.txt";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        qel::log::RunLog log(folder_, clock_);
        for (int i = 0; i < 100; ++i) log.GravaLog("linha " + std::to_string(i));
        ::kill(::getpid(), SIGKILL);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    std::string expected;
    for (int i = 0; i < 100; ++i)
        expected += "06/12/2026 09:52:13 - linha " + std::to_string(i) + "\r\n";
    EXPECT_EQ(read(file), expected);
}
#endif

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
