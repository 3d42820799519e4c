// The agent's cycle with a real server on loopback: the reconciliation of
// short days follows the export run only when ReconcileDays is set, once a
// day; unset or 0, the cycle makes no call beyond the specified ones.

#include <gmock/gmock.h>

#include <mutex>

#include "app_fixture.h"
#include "application_server.h"
#include "central_store.h"
#include "http_server.h"

namespace qel::testing {
namespace {

class ReconcileCycle : public AppFixture {
  protected:
    void SetUp() override {
        AppFixture::SetUp();
        store("'5'");
        caixa("002");
        central = server::openSqliteStore(dir / "central_store.db");
        app = std::make_unique<server::ApplicationServer>(*central, clock);
        server::HttpServerOptions options;
        options.onCall = [this](const server::CallRecord& call) {
            std::lock_guard lock(mutex);
            methods.emplace_back(call.method);
        };
        http = std::make_unique<server::HttpServer>(*app, std::move(options));
        port = http->bindToAnyPort("127.0.0.1");
        http->start();
    }
    void TearDown() override {
        window.reset();
        http->stop();
        http.reset();
        app.reset();
        central.reset();
        AppFixture::TearDown();
    }
    void registry(const std::string& extra) {
        writeRegistry("IPServer = 127.0.0.1:" + std::to_string(port) + "\n" + extra);
    }
    std::size_t calls(const std::string& method) {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::count(methods.begin(), methods.end(), method));
    }

    std::unique_ptr<server::CentralStore> central;
    std::unique_ptr<server::ApplicationServer> app;
    std::unique_ptr<server::HttpServer> http;
    int port = 0;
    std::mutex mutex;
    std::vector<std::string> methods;
};

TEST_F(ReconcileCycle, UnsetOrZeroMakesNoCallBeyondTheSpecifiedOnes) {
    for (const std::string value : {"", "ReconcileDays = 0\n", "ReconcileDays = \" \"\n"}) {
        registry(value);
        auto& w = makeWindow("X_0001_002_03_");
        w.FormCreate();  // the first cycle
        w.BuscaVendas();
        EXPECT_EQ(calls("getShortDays"), 0u) << value;
        window.reset();
    }
    EXPECT_EQ(logCount("Reconciliação"), 0u);
    EXPECT_EQ(logCount("ERRO"), 0u);
}

TEST_F(ReconcileCycle, SetItFollowsTheExportRunOnceADay) {
    registry("ReconcileDays = 31\n");
    auto& w = makeWindow("X_0001_002_03_");
    w.FormCreate();
    EXPECT_EQ(calls("getShortDays"), 1u);
    const auto lines = logLines();
    const auto run = std::find(lines.begin(), lines.end(), "CAIXA: 002");
    const auto asked =
        std::find(lines.begin(), lines.end(), "Reconciliação: 0 dia(s) incompleto(s) no servidor");
    const auto done = std::find(lines.begin(), lines.end(), "Exportação realizada pelo QelExp");
    ASSERT_NE(asked, lines.end());
    EXPECT_LT(run, asked);
    EXPECT_LT(asked, done);

    w.BuscaVendas();  // the same day
    EXPECT_EQ(calls("getShortDays"), 1u);
    // A new agent on the same day does not repeat it either.
    window.reset();
    makeWindow("X_0001_002_03_").FormCreate();
    EXPECT_EQ(calls("getShortDays"), 1u);
    clock.set(clock.now().addDays(1));
    window->BuscaVendas();
    EXPECT_EQ(calls("getShortDays"), 2u);
}

}  // namespace
}  // namespace qel::testing
