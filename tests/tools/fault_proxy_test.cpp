// The fault proxy between the agent's real server connection and the real
// application server on loopback: each fault breaks exactly the call it was
// armed for, at its point, and the connection recovers for the next call.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "application_server.h"
#include "central_store.h"
#include "child_process.h"
#include "contracts/net/net_connection.h"
#include "core/clock.h"
#include "core/error.h"
#include "fault_proxy/corruption.h"
#include "fault_proxy/fault_proxy.h"
#include "fault_proxy/socket_io.h"
#include "http_server.h"
#include "loopback/loopback.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"
#include "sample_packets.h"

namespace qel::faults {
namespace {

using ::testing::HasSubstr;

class FaultProxyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 ("qel_fault_proxy_" + std::to_string(::getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        store = server::openSqliteStore(folder / "central.db");
        app = std::make_unique<server::ApplicationServer>(*store, clock);
        serverPort = serve();
        proxy = std::make_unique<FaultProxy>("127.0.0.1", serverPort, 42);
    }

    void TearDown() override {
        connection.reset();
        proxy.reset();
        if (http) http->stop();
        http.reset();
        app.reset();
        store.reset();
        std::filesystem::remove_all(folder);
    }

    int serve(server::HttpServerOptions options = {}) {
        http = std::make_unique<server::HttpServer>(*app, std::move(options));
        const int port = http->bindToAnyPort("127.0.0.1");
        http->start();
        return port;
    }

    // The agent's connection to Exp.rdmInsereServidor, through the proxy.
    net::TNetConnection& agent() {
        if (!connection) {
            connection = std::make_unique<net::TNetConnection>("Exp.rdmInsereServidor");
            connection->Host = "127.0.0.1";
            connection->Port = proxy->port();
            connection->ThrowException = true;
            // A bound for a broken test, not a figure under test.
            connection->Settings.readTimeout = std::chrono::seconds(120);
        }
        if (!connection->connected()) connection->open();
        return *connection;
    }

    // A call whose effect the central store shows: a cleanup recorded for the station.
    void recordCleanup(const std::string& station) {
        agent().call("setDtUltimaLimpeza", {Variant("0001"), Variant(station)});
    }
    bool serverRecorded(const std::string& station) {
        return store->lastCleanup("0001", station).has_value();
    }
    std::string failureOf(const std::string& station) {
        try {
            recordCleanup(station);
        } catch (const ServerError& e) {
            return e.what();
        }
        ADD_FAILURE() << "the call through the armed proxy succeeded";
        return {};
    }

    std::filesystem::path folder;
    ManualClock clock;
    std::unique_ptr<server::CentralStore> store;
    std::unique_ptr<server::ApplicationServer> app;
    std::unique_ptr<server::HttpServer> http;
    int serverPort = 0;
    std::unique_ptr<FaultProxy> proxy;
    std::unique_ptr<net::TNetConnection> connection;
};

TEST_F(FaultProxyTest, EachFaultBreaksOneCallAtItsPointAndTheNextCallSucceeds) {
    struct Case {
        ProxyFault fault;
        bool reachesServer;  // whether the server ran the call before the break
        const char* error;   // what the agent's error says
    };
    const Case cases[] = {
        {ProxyFault::CutDuringRequest, false, "no complete answer"},
        {ProxyFault::CutAfterCommit, true, "no complete answer"},
        {ProxyFault::CutMidAnswer, true, "setDtUltimaLimpeza"},
        {ProxyFault::ServerError, false, "Service unavailable"},
        {ProxyFault::MalformedAnswer, true, "answered garbage"},
        {ProxyFault::PartialAnswer, true, "answered garbage"},
        {ProxyFault::Reset, false, "setDtUltimaLimpeza"},
    };
    int station = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(faultName(c.fault));
        const std::string broken = std::to_string(++station);
        proxy->arm(c.fault);
        EXPECT_THAT(failureOf(broken), HasSubstr(c.error));
        EXPECT_EQ(serverRecorded(broken), c.reachesServer);
        EXPECT_EQ(proxy->fired()[c.fault], 1);

        const std::string clean = std::to_string(++station);
        EXPECT_NO_THROW(recordCleanup(clean));
        EXPECT_TRUE(serverRecorded(clean));
    }
    // A delayed answer arrives whole.
    proxy->arm(ProxyFault::Delay, 20);
    EXPECT_NO_THROW(recordCleanup("delayed"));
    EXPECT_TRUE(serverRecorded("delayed"));
    EXPECT_EQ(proxy->fired().size(), std::size(cases) + 1);
    EXPECT_EQ(proxy->armedCount(), 0u);
}

TEST_F(FaultProxyTest, AFaultArmedForTheSecondCallOfAKeptAliveConnectionHitsTheSecond) {
    proxy->arm(ProxyFault::None);
    proxy->arm(ProxyFault::CutAfterCommit);
    agent();
    const auto beforeCalls = proxy->requestsForwarded();  // the health check
    EXPECT_NO_THROW(recordCleanup("first"));
    EXPECT_THAT(failureOf("second"), HasSubstr("no complete answer"));
    EXPECT_TRUE(serverRecorded("first"));
    EXPECT_TRUE(serverRecorded("second"));
    EXPECT_EQ(proxy->requestsForwarded() - beforeCalls, 2u);
    EXPECT_EQ(proxy->fired(), (std::map<ProxyFault, int>{{ProxyFault::CutAfterCommit, 1}}));
    EXPECT_GT(proxy->requestBytes(), 0u);
}

TEST_F(FaultProxyTest, ServerDownClosesTheClientCountsNothingAndKeepsTheFaultArmed) {
    http->stop();
    proxy->arm(ProxyFault::CutAfterCommit);
    connection = std::make_unique<net::TNetConnection>("Exp.rdmInsereServidor");
    connection->Host = "127.0.0.1";
    connection->Port = proxy->port();
    try {
        connection->open();
        ADD_FAILURE() << "opened a connection to a server that is down";
    } catch (const ServerError& e) {
        EXPECT_THAT(e.what(), HasSubstr("Cannot connect to the application server"));
    }
    EXPECT_TRUE(proxy->fired().empty());
    EXPECT_EQ(proxy->requestsForwarded(), 0u);
    EXPECT_EQ(proxy->armedCount(), 1u);

    // The server comes back elsewhere; the armed fault hits its first call.
    proxy->setUpstream("127.0.0.1", serve());
    EXPECT_THAT(failureOf("after restart"), HasSubstr("no complete answer"));
    EXPECT_TRUE(serverRecorded("after restart"));
    EXPECT_EQ(proxy->fired()[ProxyFault::CutAfterCommit], 1);
}

TEST_F(FaultProxyTest, AServerRestartBetweenCallsIsInvisibleToTheKeptAliveConnection) {
    EXPECT_NO_THROW(recordCleanup("before"));
    http->stop();
    proxy->setUpstream("127.0.0.1", serve());
    // The next call on the same connection reaches the new server.
    EXPECT_NO_THROW(recordCleanup("after"));
    EXPECT_TRUE(serverRecorded("after"));
}

// Transfers of several megabytes each way (gzip on the wire) break and recover too.
TEST_F(FaultProxyTest, LargeTransfersBreakInBothDirectionsAndThenPass) {
    const VariantArray packets = testing::samplePacketArray(1000);
    const VariantArray insert = {Variant("0001"), Variant("001"), Variant("01"), Variant(packets)};
    const VariantArray verify = {Variant("0001"), Variant("001"), Variant(packets)};

    proxy->arm(ProxyFault::CutDuringRequest);
    EXPECT_THROW(agent().call("setInsereServidor", insert), ServerError);
    EXPECT_EQ(store->rowCount(), 0);
    const auto partBytes = proxy->requestBytes();

    EXPECT_NO_THROW(agent().call("setInsereServidor", insert));
    const auto held = store->rowCount();
    EXPECT_GT(held, 1000 * 15);
    EXPECT_GT(proxy->requestBytes() - partBytes, 300'000u);

    proxy->arm(ProxyFault::CutMidAnswer);
    EXPECT_THROW(agent().call("getVerificaExportacao", verify), ServerError);
    proxy->arm(ProxyFault::MalformedAnswer);
    EXPECT_THROW(agent().call("getVerificaExportacao", verify), ServerError);
    const Variant verdicts = protocol::unwrapAnswer(agent().call("getVerificaExportacao", verify));
    EXPECT_EQ(verdicts.asArray().size(), 22u);
    EXPECT_EQ(store->rowCount(), held);
}

// A server that refuses a call before reading its body closes at once; its
// refusal still reaches the agent through the proxy.
TEST_F(FaultProxyTest, ARefusalBeforeTheBodyIsReadReachesTheAgent) {
    http->stop();
    server::HttpServerOptions small;
    small.maxRequestBytes = 4096;
    proxy->setUpstream("127.0.0.1", serve(std::move(small)));
    // Megabytes that gzip cannot shrink below what the sockets between hold.
    std::string noise(12'000'000, ' ');
    std::uint64_t x = 88172645463325252ull;
    for (char& c : noise) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        c = static_cast<char>('A' + x % 26);
    }
    const VariantArray insert = {Variant("0001"), Variant("001"), Variant("01"),
                                 Variant(std::move(noise))};
    try {
        agent().call("setInsereServidor", insert);
        ADD_FAILURE() << "a body over the server's limit was taken";
    } catch (const ServerError& e) {
        EXPECT_THAT(e.what(), HasSubstr("larger than the server's limit"));
    }
}

// The program applies the listed faults at the given rate and reports them on SIGTERM.
TEST_F(FaultProxyTest, TheProgramBreaksCallsAtRandomAndReportsOnSigterm) {
    const auto usage = testing::runChild(
        {FAULT_PROXY, "--listen-port", "0", "--upstream", "127.0.0.1:1", "--faults", "cut"}, {},
        folder);
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_THAT(usage.err, HasSubstr("unknown fault \"cut\""));

    testing::ChildProcess child(
        {FAULT_PROXY, "--listen-port", "0", "--upstream", "127.0.0.1:" + std::to_string(serverPort),
         "--seed", "9", "--rate", "1", "--faults", "server-error"},
        {}, folder);
    const std::string prefix = "listening on 127.0.0.1:";
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((out = child.outSoFar()).find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(out.rfind(prefix, 0), 0u) << out;
    const int port = std::stoi(out.substr(prefix.size()));
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    auto health = client.Get("/health");  // not a call: never broken
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    auto refused = client.Post("/call/a/b", "x", "application/msgpack");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);

    child.signal(SIGTERM);
    const auto result = child.wait();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_THAT(result.out, HasSubstr("requests forwarded: 1\n"));
    EXPECT_THAT(result.out, HasSubstr("server-error: 1\n"));
    EXPECT_THAT(result.out, HasSubstr("cut-after-commit: 0\n"));
}

// Every corruption the proxy makes is refused by the protocol's decoder, plain
// or behind gzip: a damaged answer must never read as another valid answer.
TEST(FaultCorruption, EveryMalformedBodyIsRefusedByTheDecoder) {
    const Bytes encoded = protocol::encode(protocol::successAnswer(Variant(VariantArray{
        Variant("0001"), Variant(std::int64_t{123456789}), Variant(2.5), Variant(true)})));
    const std::string body(reinterpret_cast<const char*>(encoded.data()), encoded.size());
    const auto bytes = [](const std::string& s) {
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()),
                                             s.size());
    };
    const std::string gzipped = protocol::gzipCompress(bytes(body));
    for (std::uint64_t draw = 0; draw < 200; ++draw) {
        SCOPED_TRACE(draw * 0x9E3779B97F4A7C15ull);
        const std::uint64_t seeded = draw * 0x9E3779B97F4A7C15ull;
        EXPECT_THROW(protocol::decode(bytes(malformedBody(body, false, seeded))),
                     protocol::ProtocolError);
        const std::string unpacked =
            protocol::gzipDecompress(bytes(malformedBody(gzipped, true, seeded)), 1 << 20);
        EXPECT_THROW(protocol::decode(bytes(unpacked)), protocol::ProtocolError);
        EXPECT_THROW(protocol::decode(bytes(body.substr(0, cutPoint(body.size(), seeded)))),
                     protocol::ProtocolError);
    }
    EXPECT_THROW(protocol::decode(bytes(malformedBody("", false, 0))), protocol::ProtocolError);
}

// The application server frames its answers by length; a server that sends
// them chunked is framed too, and a truncated copy is framed by its length.
TEST(FaultProxyFraming, ChunkedAnswersPassWholeAndTruncatedCopiesAreReframed) {
    const std::string payload(100'000, 'x');
    httplib::Server chunked;
    chunked.Post("/call/a/b", [&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider(
            "application/msgpack", [&](std::size_t offset, httplib::DataSink& sink) {
                const std::size_t n = std::min<std::size_t>(7'000, payload.size() - offset);
                sink.write(payload.data() + offset, n);
                if (offset + n == payload.size()) sink.done();
                return true;
            });
    });
    const int port = chunked.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { chunked.listen_after_bind(); });
    while (!chunked.is_running()) std::this_thread::yield();
    {
        FaultProxy proxy("127.0.0.1", port, 7);
        httplib::Client client("127.0.0.1", proxy.port());
        client.set_keep_alive(true);
        client.set_read_timeout(30, 0);
        const std::string request(50'000, 'r');
        auto whole = client.Post("/call/a/b", request, "application/msgpack");
        ASSERT_TRUE(whole);
        EXPECT_EQ(whole->body, payload);

        proxy.arm(ProxyFault::PartialAnswer);
        auto partial = client.Post("/call/a/b", request, "application/msgpack");
        ASSERT_TRUE(partial);
        EXPECT_LT(partial->body.size(), payload.size());
        EXPECT_EQ(partial->body, payload.substr(0, partial->body.size()));
        EXPECT_EQ(partial->get_header_value("Content-Length"),
                  std::to_string(partial->body.size()));

        auto after = client.Post("/call/a/b", request, "application/msgpack");
        ASSERT_TRUE(after);
        EXPECT_EQ(after->body, payload);
        EXPECT_EQ(proxy.requestsForwarded(), 3u);
        EXPECT_EQ(proxy.requestBytes(), 3u * request.size());
    }
    chunked.stop();
    serving.join();
}

// The server closed the kept-alive connection while it was idle: the part
// of the cut request must reach the server on a new connection, or the cut
// would count without having happened.
TEST(FaultProxyCut, ACutRequestAfterTheServerIdleClosedReachesTheServerAnew) {
    const loopback::Listener upstream = loopback::listen();
    FaultProxy proxy("127.0.0.1", upstream.port, 7);
    const int client = loopback::connect(proxy.port());
    ASSERT_GE(client, 0);
    // A bound for a broken test, not a figure under test.
    const auto accepted = [&] {
        pollfd waiting{upstream.fd, POLLIN, 0};
        return ::poll(&waiting, 1, 20'000) == 1 ? ::accept(upstream.fd, nullptr, nullptr) : -1;
    };
    const std::string request = "POST /call/a/b HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n";
    ASSERT_TRUE(sendAll(client, request + "0123456789"));
    const int first = accepted();
    ASSERT_GE(first, 0);
    SocketReader fromProxy(first), fromServer(client);
    std::string body;
    ASSERT_TRUE(fromProxy.readHead());
    ASSERT_TRUE(fromProxy.readExactly(10, body));
    ASSERT_TRUE(sendAll(first, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    ASSERT_TRUE(fromServer.readHead());
    ::close(first);  // idle close

    proxy.arm(ProxyFault::CutDuringRequest);
    ASSERT_TRUE(sendAll(client, request + "abcdefghij"));
    const int second = accepted();
    ASSERT_GE(second, 0) << "the cut request never reached the server";
    SocketReader reached(second);
    const auto head = reached.readHead();
    ASSERT_TRUE(head);
    EXPECT_EQ(*head, request);
    std::string rest;
    reached.readToEnd(rest);
    EXPECT_LT(rest.size(), 10u);
    EXPECT_EQ(rest, std::string("abcdefghij").substr(0, rest.size()));
    EXPECT_EQ(proxy.fired()[ProxyFault::CutDuringRequest], 1);
    ::close(second);
    ::close(client);
    ::close(upstream.fd);
}

TEST(FaultNames, EveryFaultHasAStableNameThatReadsBack) {
    for (const ProxyFault f : allFaults()) EXPECT_EQ(faultFromName(faultName(f)), f);
    EXPECT_STREQ(faultName(ProxyFault::CutAfterCommit), "cut-after-commit");
    EXPECT_EQ(faultFromName("cut-after"), std::nullopt);
}

}  // namespace
}  // namespace qel::faults
