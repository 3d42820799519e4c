// qelexp-server as an operator calls it: the command-line conventions the
// other executables follow, and the exit codes that tell a usage mistake from
// a failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "child_process.h"

namespace {

using qel::testing::ChildResult;
using qel::testing::runChild;

std::filesystem::path freshFolder() {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("qel_servercli_" + std::to_string(getpid()) + "_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

TEST(ServerCommandLine, HelpVersionAndUsageErrors) {
    const auto dir = freshFolder();
    for (const char* help : {"--help", "-h"}) {
        const ChildResult r = runChild({SERVER, help}, {}, dir);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.rfind("Usage: qelexp-server", 0), 0u) << help;
    }
    const ChildResult version = runChild({SERVER, "--version"}, {}, dir);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("qelexp-server ", 0), 0u) << version.out;

    // Usage mistakes: exit code 2, the reason and the usage on stderr.
    const std::vector<std::vector<std::string>> mistakes = {
        {"--bogus"},  {"--port"},      {"--port=70000"},    {"--port", "0"},
        {"--port=x"}, {"--threads=0"}, {"--cert", "a.pem"},
    };
    for (const auto& args : mistakes) {
        std::vector<std::string> argv = {SERVER};
        argv.insert(argv.end(), args.begin(), args.end());
        const ChildResult r = runChild(argv, {}, dir);
        EXPECT_EQ(r.exitCode, 2) << args.front();
        EXPECT_NE(r.err.find("Usage: qelexp-server"), std::string::npos) << args.front();
        EXPECT_TRUE(r.out.empty()) << args.front();
    }
    const ChildResult unknown = runChild({SERVER, "--bogus"}, {}, dir);
    EXPECT_NE(unknown.err.find("unknown option --bogus"), std::string::npos) << unknown.err;
    std::filesystem::remove_all(dir);
}

TEST(ServerCommandLine, AFailureIsNotAUsageError) {
    const auto dir = freshFolder();
    // A station database is not a central store: the server refuses it with
    // exit code 1, whichever form the option takes.
    {
        std::ofstream notACentralStore(dir / "station.db", std::ios::binary);
        notACentralStore << "this is not a database";
    }
    const std::string db = (dir / "station.db").string();
    for (const std::vector<std::string>& form :
         {std::vector<std::string>{"--db=" + db}, std::vector<std::string>{"--db", db}}) {
        std::vector<std::string> argv = {SERVER, "--port=1"};
        argv.insert(argv.end(), form.begin(), form.end());
        const ChildResult r = runChild(argv, {}, dir, std::chrono::seconds(20));
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.err.find("Usage:"), std::string::npos) << r.err;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
