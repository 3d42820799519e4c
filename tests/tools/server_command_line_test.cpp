// qelexp-server as an operator calls it: the command-line conventions the
// other executables follow, the exit codes that tell a usage mistake from
// a failure, and credentials changed while it runs.
#include <gtest/gtest.h>
#include <httplib.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "loopback/loopback.h"
#include "process_helpers.h"

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

// The status of GET `path` with this bearer token on a fresh connection.
int statusWith(int port, const std::string& path, const std::string& token) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5);
    client.set_read_timeout(10);
    const auto answer = client.Get(path, {{"Authorization", "Bearer " + token}});
    return answer ? answer->status : -1;
}

void writeFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

TEST(ServerCommandLine, CredentialsChangeWithoutARestart) {
    using qel::testing::eventually;
    const auto dir = freshFolder();
    const auto stations = dir / "stations", operators = dir / "operators";
    writeFile(stations, "station-a 0001 001\n");
    writeFile(operators, "operator-a\n");
    const int port = qel::loopback::freePort();
    qel::testing::ChildProcess server(
        {SERVER, "--listen", "127.0.0.1", "--port", std::to_string(port), "--db",
         (dir / "central.db").string(), "--credentials", stations.string(),
         "--operator-credentials", operators.string(), "--quiet"},
        {}, dir);
    ASSERT_TRUE(eventually([&] { return qel::loopback::accepts(port); })) << server.errSoFar();
    EXPECT_EQ(statusWith(port, "/health", "station-a"), 200);
    EXPECT_EQ(statusWith(port, "/health", "station-b"), 401);
    EXPECT_EQ(statusWith(port, "/fleet", "operator-a"), 200);

    // SIGHUP: a station added, one revoked, the operator's token changed.
    writeFile(stations, "station-b 0001 002\n");
    writeFile(operators, "operator-b\n");
    server.signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return statusWith(port, "/health", "station-b") == 200; }))
        << server.outSoFar();
    EXPECT_EQ(statusWith(port, "/health", "station-a"), 401);
    EXPECT_EQ(statusWith(port, "/fleet", "operator-b"), 200);
    EXPECT_EQ(statusWith(port, "/fleet", "operator-a"), 401);

    // A file with an error leaves the tokens in use, and the log says why.
    writeFile(stations, "station-c 0001\n");
    server.signal(SIGHUP);
    ASSERT_TRUE(eventually([&] {
        return server.outSoFar().find("kept the station credentials") != std::string::npos;
    }));
    EXPECT_NE(server.outSoFar().find("line 1"), std::string::npos) << server.outSoFar();
    EXPECT_EQ(statusWith(port, "/health", "station-b"), 200);

    // A corrected file is taken without a signal once it stops changing.
    writeFile(stations, "station-c 0001 003\n");
    EXPECT_TRUE(eventually([&] { return statusWith(port, "/health", "station-c") == 200; }));
    EXPECT_EQ(statusWith(port, "/health", "station-b"), 401);

    server.signal(SIGTERM);
    EXPECT_EQ(server.wait().exitCode, 0);
    std::filesystem::remove_all(dir);
}

}  // namespace
