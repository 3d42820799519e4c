// The agent's side of the connection: the server address, opening and
// closing with their log lines, and answers that must not be trusted.

#include <httplib.h>

#include <chrono>
#include <thread>

#include "core/error.h"
#include "loopback_fixture.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"

namespace qel::testing {
namespace {

using Connection = Loopback;

TEST_F(Connection, ServerAddressComesFromTheRegistryValue) {
    struct Case {
        std::string value;
        Variant expected;
    };
    const Variant unset = Variant::array(2);
    auto address = [](const char* host, int port) {
        return Variant(VariantArray{Variant(host), Variant(port)});
    };
    const Case cases[] = {
        {"192.0.2.10:212", address("192.0.2.10", 212)},
        {"192.0.2.10", address("192.0.2.10", 211)},
        {":212", address("", 212)},
        {" 192.0.2.10", address(" 192.0.2.10", 211)},
        {" 192.0.2.10 :212", address(" 192.0.2.10 ", 212)},
        {"192.0.2.10:", Variant("")},
        {"192.0.2.10:80:81", Variant("")},
        {"192.0.2.10:porta", Variant("")},
        {"   ", unset},
        {"", unset},
    };
    for (const Case& c : cases) {
        setRegistry({{"IPServer", c.value}});
        EXPECT_TRUE(connections_->GetEnderecoServidor() == c.expected) << "'" << c.value << "'";
    }
    setRegistry({});
    EXPECT_TRUE(connections_->GetEnderecoServidor() == unset);
    // Without its configuration file the read fails: the empty text.
    std::filesystem::remove(registry_);
    EXPECT_TRUE(connections_->GetEnderecoServidor() == Variant(""));
}

TEST_F(Connection, EachConnectionReadsTheAddressAfreshAtEveryConnect) {
    serve();
    for (net::TNetConnection* c : {&connections_->netInsereServidor, &connections_->netAjuste,
                                   &connections_->netAtualizaPontuacao}) {
        c->open();
        EXPECT_TRUE(c->connected());
        EXPECT_EQ(c->Host, "127.0.0.1");
        EXPECT_EQ(c->Port, port_);
        c->close();
    }
    setRegistry({{"IPServer", "127.0.0.1:1"}});
    EXPECT_THROW(connections_->netAjuste.open(), ServerError);
    EXPECT_EQ(connections_->netAjuste.Port, 1);
    EXPECT_FALSE(connections_->netAjuste.connected());
}

TEST_F(Connection, ConectaServidorOpensClosesAndReportsFailures) {
    serve();
    EXPECT_TRUE(connections_->ConectaServidor(true, "Nao conectou (setInsereServidor)"));
    EXPECT_TRUE(log_.empty());
    EXPECT_FALSE(connections_->ConectaServidor(false, ""));
    EXPECT_EQ(log_, std::vector<std::string>{"netInsereServidor foi desconectado do servidor."});
    EXPECT_FALSE(connections_->ConectaServidor(false, ""));  // closing a closed connection
    EXPECT_EQ(log_.size(), 1u);

    // Server down: the open fails, the connection is closed again without a
    // disconnect line, and the one error line has its exact shape.
    log_.clear();
    const int port = port_;
    http_->stop();
    EXPECT_FALSE(connections_->ConectaServidor(true, "Nao conectou (setInsereServidor)"));
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0],
              "ERRO Except EnviaVendas: Nao conectou (setInsereServidor) - Cannot connect "
              "to the application server at http://127.0.0.1:" +
                  std::to_string(port) + ": could not connect (refused or unreachable)");

    const std::pair<const char*, const char*> unusable[] = {
        {"127.0.0.1:", "Invalid application server address in the registry value IPServer"},
        {"127.0.0.1:80:81", "Invalid application server address in the registry value IPServer"},
        {"  ", "No application server address configured"},
    };
    for (const auto& [value, error] : unusable) {
        log_.clear();
        setRegistry({{"IPServer", value}});
        EXPECT_FALSE(connections_->ConectaServidor(true, "m"));
        ASSERT_EQ(log_.size(), 1u);
        EXPECT_EQ(log_[0], std::string("ERRO Except EnviaVendas: m - ") + error);
    }
    log_.clear();
    setRegistry({{"IPServer", "127.0.0.1:" + std::to_string(port)}, {"ServerReadTimeout", "soon"}});
    EXPECT_FALSE(connections_->ConectaServidor(true, "m"));
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_NE(log_[0].find("ServerReadTimeout must be a number of seconds"), std::string::npos);
}

// A server that answers every call with a fixed body, to see what the agent
// makes of answers a real server must never give.
class Impostor : public Loopback {
  protected:
    void SetUp() override {
        Loopback::SetUp();
        impostor_.Get("/health", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("OK", "text/plain");
        });
        impostor_.Post(R"(/call/([^/]+)/([^/]+))",
                       [this](const httplib::Request& req, httplib::Response& res) {
                           const std::string method = req.matches[2];
                           if (method == "hang") {
                               std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                           }
                           res.status = status_;
                           res.set_content(body_, type_);
                       });
        port_ = impostor_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { impostor_.listen_after_bind(); });
        while (!impostor_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        setRegistry({{"IPServer", "127.0.0.1:" + std::to_string(port_)}});
    }
    void TearDown() override {
        impostor_.stop();
        thread_.join();
        Loopback::TearDown();
    }
    void answerWith(const Bytes& body, int status = 200, std::string type = "application/msgpack") {
        body_.assign(body.begin(), body.end());
        status_ = status;
        type_ = std::move(type);
    }

    httplib::Server impostor_;
    std::thread thread_;
    std::string body_;
    std::string type_ = "application/msgpack";
    int status_ = 200;
};

TEST_F(Impostor, AnswersThatAreNotEnvelopesRaise) {
    auto& c = connections_->netInsereServidor;
    ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    const Bytes good = protocol::encode(protocol::successAnswer(Variant(true)));
    answerWith(good);
    EXPECT_TRUE(callChecked(c, "getLimpezaDiaria", {}) == Variant(true));

    const Bytes cases[] = {
        {0xC1, 0x00, 0x13},                                               // garbage
        Bytes(good.begin(), good.end() - 1),                              // truncated
        protocol::encode(Variant(VariantArray{Variant(1), Variant(2)})),  // wrongly typed
        protocol::encode(Variant(true)),                                  // not an array
        protocol::encode(Variant(VariantArray{Variant(true)})),
        protocol::encode(Variant(VariantArray{Variant(false), Variant(7)})),
    };
    for (const Bytes& body : cases) {
        answerWith(body);
        EXPECT_THROW(callChecked(c, "getLimpezaDiaria", {}), ServerError);
    }
    answerWith(protocol::encode(protocol::failureAnswer("Banco central fora do ar")));
    try {
        callChecked(c, "getLimpezaDiaria", {});
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Banco central fora do ar");
    }
    answerWith(Bytes{'<', 'h', '1', '>'}, 502, "text/html");
    EXPECT_THROW(callChecked(c, "getLimpezaDiaria", {}), ServerError);

    // Larger than the agent accepts.
    answerWith(protocol::encode(protocol::successAnswer(Variant(std::string(4096, 'x')))));
    c.Settings.maxAnswerBytes = 1024;
    EXPECT_THROW(callChecked(c, "getLimpezaDiaria", {}), ServerError);
}

TEST_F(Impostor, AHungServerFailsTheCallAfterTheReadTimeout) {
    auto& c = connections_->netInsereServidor;
    ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    answerWith(protocol::encode(protocol::successAnswer(Variant(true))));
    c.Settings.readTimeout = std::chrono::milliseconds(200);
    c.close();
    c.BeforeConnect = nullptr;  // keep the short time-out set above
    c.open();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(c.call("hang", {}), ServerError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
}

}  // namespace
}  // namespace qel::testing
