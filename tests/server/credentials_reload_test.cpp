// Credentials changed while the server runs: the HTTP front checks each new
// request against the set in use, calls already admitted finish under the
// set they came in with, and the reload of the files takes a good file whole
// and leaves the set in use when a file has an error.

#include <chrono>
#include <filesystem>
#include <fstream>

#include "core/error.h"
#include "credentials_reload.h"
#include "loopback_fixture.h"
#include "protocol/envelope.h"
#include "raw_client.h"
#include "sample_packets.h"

namespace qel::testing {
namespace {

constexpr const char* kCleanupUrl = "/call/Exp.rdmInsereServidor/setDtUltimaLimpeza";

std::string cleanupCall(const std::string& token) {
    return callRequest(kCleanupUrl,
                       bodyOf(protocol::encodeRequest("Exp.rdmInsereServidor", "setDtUltimaLimpeza",
                                                      {Variant("0001"), Variant("001")})),
                       "application/msgpack", "Authorization: Bearer " + token + "\r\n");
}

int statusOf(RawClient& c, const std::string& request) {
    bool closed = false;
    c.send(request);
    return parseAnswers(c.readAnswers(closed)).status;
}

using CredentialsReplaced = Loopback;

TEST_F(CredentialsReplaced, TheNextRequestMeetsTheNewSetWhileAnAdmittedCallFinishes) {
    server::HttpServerOptions options;
    options.credentials = server::Credentials::parse("old 0001 001\n");
    serve(std::move(options));

    RawClient keptAlive(port_);
    EXPECT_EQ(statusOf(keptAlive, cleanupCall("old")), 200);

    // A large insert admitted on its head, its body not yet sent.
    const std::string body = bodyOf(protocol::encodeRequest(
        "Exp.rdmInsereServidor", "setInsereServidor",
        {Variant("0001"), Variant("001"), Variant("01"), Variant(samplePacketArray(50))}));
    RawClient inFlight(port_);
    EXPECT_EQ(statusOf(inFlight,
                       "POST /call/Exp.rdmInsereServidor/setInsereServidor HTTP/1.1\r\n"
                       "Host: 127.0.0.1\r\nContent-Type: application/msgpack\r\n"
                       "Authorization: Bearer old\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nExpect: 100-continue\r\n\r\n"),
              100);

    http_->replaceCredentials(server::Credentials::parse("new 0001 001\n"));

    // The revoked token is refused on the connection it used a moment ago.
    EXPECT_EQ(statusOf(keptAlive, cleanupCall("old")), 401);
    RawClient fresh(port_);
    EXPECT_EQ(statusOf(fresh, cleanupCall("new")), 200);
    // The call admitted before the change runs to its end under its grant.
    bool closed = false;
    inFlight.send(body);
    const Answers answer = parseAnswers(inFlight.readAnswers(closed));
    EXPECT_EQ(answer.status, 200) << answer.body;
    EXPECT_GT(store_->rowCount(), 0);
}

TEST_F(CredentialsReplaced, AServerStartedWithoutCredentialsDoesNotTakeThem) {
    serve();
    EXPECT_THROW(http_->replaceCredentials(server::Credentials::parse("t 0001 001\n")),
                 ConfigError);
}

class CredentialsFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("qel_credentials_reload_" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        write(stations(), "a 0001 001\n");
        write(operators(), "op-1\n");
        reload_ = std::make_unique<server::CredentialsReload>(
            stations().string(), operators().string(),
            server::CredentialsReload::Targets{
                [this](server::Credentials c) { stationSets_.push_back(std::move(c)); },
                [this](std::vector<std::string> t) { operatorSets_.push_back(std::move(t)); }},
            [this](const std::string& line) { log_.push_back(line); });
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path stations() const { return dir_ / "stations"; }
    std::filesystem::path operators() const { return dir_ / "operators"; }
    static void write(const std::filesystem::path& file, const std::string& text) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    }
    bool logged(const std::string& words) const {
        for (const std::string& line : log_) {
            if (line.find(words) != std::string::npos) return true;
        }
        return false;
    }

    std::filesystem::path dir_;
    std::unique_ptr<server::CredentialsReload> reload_;
    std::vector<server::Credentials> stationSets_;
    std::vector<std::vector<std::string>> operatorSets_;
    std::vector<std::string> log_;
};

TEST_F(CredentialsFiles, ReloadTakesGoodFilesWholeAndKeepsTheSetWhenAFileHasAnError) {
    write(stations(), "b 0001 001\nc 0001 002,003\n");
    write(operators(), "op-2\n# a comment\nop-3\n");
    EXPECT_TRUE(reload_->reload());
    ASSERT_EQ(stationSets_.size(), 1u);
    EXPECT_EQ(stationSets_[0].size(), 2u);
    EXPECT_EQ(stationSets_[0].find("a"), nullptr);
    ASSERT_NE(stationSets_[0].find("c"), nullptr);
    EXPECT_TRUE(stationSets_[0].find("c")->allowsStation("003"));
    ASSERT_EQ(operatorSets_.size(), 1u);
    EXPECT_EQ(operatorSets_[0], (std::vector<std::string>{"op-2", "op-3"}));
    EXPECT_TRUE(logged("2 credential(s)"));

    // A malformed station file is not taken; the good operator file still is.
    write(stations(), "b 0001 001\nbroken-line\n");
    log_.clear();
    EXPECT_FALSE(reload_->reload());
    EXPECT_EQ(stationSets_.size(), 1u);
    EXPECT_EQ(operatorSets_.size(), 2u);
    EXPECT_TRUE(logged("kept the station credentials in use")) << log_.front();
    EXPECT_TRUE(logged("line 2"));

    // Neither an empty station file nor a missing or empty operator file
    // shuts everyone out.
    write(stations(), "");
    std::filesystem::remove(operators());
    log_.clear();
    EXPECT_FALSE(reload_->reload());
    EXPECT_TRUE(logged("lists no credential"));
    EXPECT_TRUE(logged("kept the operator credentials in use"));
    write(operators(), "\n# nobody\n");
    EXPECT_FALSE(reload_->reload());
    EXPECT_EQ(stationSets_.size(), 1u);
    EXPECT_EQ(operatorSets_.size(), 2u);
}

TEST_F(CredentialsFiles, AChangedFileIsReadOnceItHasStayedTheSameForOneLook) {
    reload_->reloadChanged();
    EXPECT_TRUE(stationSets_.empty()) << "an unchanged file was read again";

    write(stations(), "b 0001 001\nc 0001 002\n");
    reload_->reloadChanged();  // still possibly being written
    EXPECT_TRUE(stationSets_.empty());
    reload_->reloadChanged();
    ASSERT_EQ(stationSets_.size(), 1u);
    EXPECT_NE(stationSets_[0].find("c"), nullptr);
    reload_->reloadChanged();
    EXPECT_EQ(stationSets_.size(), 1u);
    EXPECT_TRUE(operatorSets_.empty()) << "the operator file did not change";

    // A file that keeps changing between looks waits until it settles.
    write(operators(), "op-2\n");
    reload_->reloadChanged();
    write(operators(), "op-2\nop-3\n");
    reload_->reloadChanged();
    EXPECT_TRUE(operatorSets_.empty());
    reload_->reloadChanged();
    ASSERT_EQ(operatorSets_.size(), 1u);
    EXPECT_EQ(operatorSets_[0].size(), 2u);

    // A broken file is reported once, not at every look.
    write(stations(), "broken\n");
    for (int i = 0; i < 4; ++i) reload_->reloadChanged();
    EXPECT_EQ(stationSets_.size(), 1u);
    int reports = 0;
    for (const std::string& line : log_)
        reports += line.find("kept the station") != std::string::npos;
    EXPECT_EQ(reports, 1);
}

}  // namespace
}  // namespace qel::testing
