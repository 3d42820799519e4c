// Clients that are broken or hostile: bodies that hide a second request,
// HTTP-level errors, bodies that inflate far beyond their size, slow and
// idle connections, names that would forge a log line, and a server started
// where it must not be.

#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <thread>

#include "core/dataset.h"
#include "core/error.h"
#include "http_exchange.h"
#include "loopback_fixture.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"
#include "raw_client.h"
#include "sample_packets.h"

namespace qel::testing {
namespace {

// The failure message of an answer body, or why it is not a failure envelope.
std::string failureText(const std::string& body) {
    try {
        const Variant v =
            protocol::decode({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
        if (const std::string* m = protocol::failureMessage(v)) return *m;
        return "<not a failure envelope>";
    } catch (const std::exception& e) {
        return std::string("<not MessagePack: ") + e.what() + ">";
    }
}

// Sends one request on a fresh connection and reads until the server closes it.
Answers exchange(int port, const std::string& request, bool& closed) {
    RawClient c(port);
    c.send(request);
    return parseAnswers(c.readAnswers(closed));
}

// A 100-sale insert whose head asks to be admitted before its body is sent.
struct LargeInsert {
    std::string body = bodyOf(protocol::encodeRequest(
        "Exp.rdmInsereServidor", "setInsereServidor",
        {Variant("0001"), Variant("001"), Variant("01"), Variant(samplePacketArray(100))}));
    std::string head =
        "POST /call/Exp.rdmInsereServidor/setInsereServidor HTTP/1.1\r\n"
        "Host: 127.0.0.1\r\nContent-Type: application/msgpack\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\nExpect: 100-continue\r\n\r\n";
};

// Sends a head and returns the status of the server's interim answer.
int admitHead(RawClient& c, const std::string& head) {
    bool closed = false;
    c.send(head);
    return parseAnswers(c.readAnswers(closed)).status;
}

// Sends a call's head on a fresh connection until it is admitted or refused
// other than for memory. A call gives its share back once its answer is
// written, which may be a moment after its client read that answer, so a
// call made right after another is asked again (a refusal closes the
// connection) for a bounded time before its 503 counts.
int admitOnceFreed(int port, const std::string& head, std::unique_ptr<RawClient>& client) {
    int status = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        client = std::make_unique<RawClient>(port);
        status = admitHead(*client, head);
        if (status != 503) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status;
}

std::size_t peakMemoryBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

class HostileClients : public Loopback {
  protected:
    // Each large call holds its body and about six times that decoded: the
    // shared budget holds two such calls, not three.
    void serveWithRoomForTwoAndAHalf(const LargeInsert& call) {
        server::HttpServerOptions options;
        const std::size_t each = call.body.size() * (1 + server::kDecodedPerEncodedByte);
        options.maxInFlightBytes = 2 * each + each / 2;
        serve(std::move(options));
    }
};

TEST_F(HostileClients, ARefusedRequestClosesTheConnectionSoItsBodyIsNeverRun) {
    server::HttpServerOptions options;
    options.credentials = server::Credentials::parse("tok 0001 001\n");
    options.maxRequestBytes = 64 * 1024;
    serve(std::move(options));
    const std::string auth = "Authorization: Bearer tok\r\n";
    // The body of each refused request is a whole request of its own.
    const std::string hidden = callRequest(kCleanupUrl, cleanupBody(), "application/msgpack", auth);
    const std::string oversized = "POST " + std::string(kCleanupUrl) +
                                  " HTTP/1.1\r\nHost: x\r\nContent-Type: application/msgpack\r\n" +
                                  auth + "Content-Length: 70000\r\n\r\n" + hidden;
    const std::pair<int, std::string> cases[] = {
        {415, callRequest(kCleanupUrl, hidden, "text/plain", auth)},
        {401,
         callRequest(kCleanupUrl, hidden, "application/msgpack", "Authorization: Bearer no\r\n")},
        {401, callRequest(kCleanupUrl, hidden)},
        {413, oversized},
        {404, callRequest("/call/Exp.rdmInsereServidor", hidden, "application/msgpack", auth)},
    };
    for (const auto& [status, request] : cases) {
        bool closed = false;
        const Answers a = exchange(port_, request, closed);
        EXPECT_EQ(a.status, status) << request.substr(0, 60);
        EXPECT_EQ(a.count, 1) << "the hidden request was answered too";
        EXPECT_TRUE(closed);
    }
    EXPECT_FALSE(store_->lastCleanup("0001", "001").has_value()) << "the hidden call ran";

    // The same call sent openly runs, and the connection stays open after it.
    RawClient c(port_);
    c.send(hidden + hidden);
    bool closed = false;
    std::string stream = c.readAnswers(closed);
    if (parseAnswers(stream).count < 2) stream += c.readAnswers(closed);
    const Answers a = parseAnswers(stream);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.count, 2);
    EXPECT_FALSE(closed);
    EXPECT_TRUE(store_->lastCleanup("0001", "001").has_value());
}

TEST_F(HostileClients, HttpErrorsAndWrongShapesAnswerTheirStatusWithTheFailureEnvelope) {
    server::HttpServerOptions options;
    options.maxRequestBytes = 1 << 20;
    serve(std::move(options));
    const std::string daily = "/call/Exp.rdmInsereServidor/getLimpezaDiaria";
    const Bytes inflating = [] {
        Bytes b(3u << 20, 0xC0);
        const std::string packed = protocol::gzipCompress(b, 9);
        return Bytes(packed.begin(), packed.end());
    }();
    const std::pair<int, std::string> cases[] = {
        {404, "GET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n"},
        {405, "GET " + daily + " HTTP/1.1\r\nHost: x\r\n\r\n"},
        {405, "POST /health HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"},
        {400, "NONSENSE\r\n\r\n"},
        {400, callRequest(daily, "\x93\x01\x02\x03")},
        // Wrong argument shapes: a number for CDFILIAL, a missing argument.
        {400, callRequest(
                  daily, bodyOf(protocol::encodeRequest("Exp.rdmInsereServidor", "getLimpezaDiaria",
                                                        {Variant(1), Variant("001")})))},
        {400,
         callRequest("/call/Exp.rdmInsereServidor/setInsereServidor",
                     bodyOf(protocol::encodeRequest("Exp.rdmInsereServidor", "setInsereServidor",
                                                    {Variant("0001"), Variant("001")})))},
        {404, callRequest("/call/Exp.rdmInsereServidor/nothing",
                          bodyOf(protocol::encodeRequest("Exp.rdmInsereServidor", "nothing", {})))},
        // Over the limit on the wire, and only once unpacked.
        {413, callRequest(daily, std::string((1 << 20) + 1, '\xC0'))},
        {413, callRequest(daily, bodyOf(inflating), "application/msgpack",
                          "Content-Encoding: gzip\r\n")},
    };
    for (const auto& [status, request] : cases) {
        bool closed = false;
        const Answers a = exchange(port_, request, closed);
        EXPECT_EQ(a.status, status) << request.substr(0, 70);
        const std::string message = failureText(a.body);
        EXPECT_FALSE(message.empty() || message[0] == '<') << status << ": " << message;
    }
}

// 65 KB of gzip holding 64 MiB of nil: each nil would become a whole value
// in memory, forty times its size on the wire.
TEST_F(HostileClients, AGzipBombIsRefusedWithoutInflatingItsValues) {
    serve();
    Bytes raw = protocol::encodeRequest("Exp.rdmInsereServidor", "setInsereServidor", {});
    raw.pop_back();  // the empty argument array...
    const std::size_t nils = (64u << 20) - 64;
    for (std::uint8_t b : {0x91, 0xDD}) raw.push_back(b);  // ...becomes [[nil x n]]
    for (int shift : {24, 16, 8, 0}) raw.push_back(static_cast<std::uint8_t>(nils >> shift));
    raw.resize(raw.size() + nils, 0xC0);
    const std::string packed = protocol::gzipCompress(raw, 9);
    Bytes().swap(raw);
    ASSERT_LT(packed.size(), 100u * 1024);

    const std::size_t before = peakMemoryBytes();
    bool closed = false;
    const Answers a = exchange(
        port_,
        callRequest(kCleanupUrl, packed, "application/msgpack", "Content-Encoding: gzip\r\n"),
        closed);
    EXPECT_EQ(a.status, 413);
    EXPECT_NE(failureText(a.body).find("memory"), std::string::npos) << failureText(a.body);
    // Unpacked, the body is 64 MiB; decoded, it would be about 2.5 GiB.
    EXPECT_LT(peakMemoryBytes() - before, 512u << 20);
}

TEST_F(HostileClients, MemoryBeyondTheSharedBudgetOrTheDecodedBoundIsRefused) {
    server::HttpServerOptions options;
    options.maxRequestBytes = 1 << 20;
    options.maxInFlightBytes = 256 * 1024;
    options.maxDecodedBytes = 64 * 1024;
    serve(std::move(options));
    const std::string daily = "/call/Exp.rdmInsereServidor/getLimpezaDiaria";
    bool closed = false;
    Answers a = exchange(port_, callRequest(daily, std::string(300 * 1024, '\xC0')), closed);
    EXPECT_EQ(a.status, 503);
    EXPECT_NE(a.head.find("Retry-After"), std::string::npos);

    Bytes many = protocol::encodeRequest("Exp.rdmInsereServidor", "getLimpezaDiaria", {});
    many.back() = 0x91;
    for (std::uint8_t b : {0xDC, 0x27, 0x10}) many.push_back(b);  // 10,000 nils
    many.resize(many.size() + 10000, 0xC0);
    a = exchange(port_, callRequest(daily, bodyOf(many)), closed);
    EXPECT_EQ(a.status, 413);
    EXPECT_NE(failureText(a.body).find("memory"), std::string::npos) << failureText(a.body);

    // Both gave their share back: an ordinary call runs.
    a = exchange(
        port_,
        callRequest(daily,
                    bodyOf(protocol::encodeRequest("Exp.rdmInsereServidor", "getLimpezaDiaria",
                                                   {Variant("0001"), Variant("001")})),
                    "application/msgpack", "Connection: close\r\n"),
        closed);
    EXPECT_EQ(a.status, 200);
}

TEST_F(HostileClients, SimultaneousLargeCallsAreAdmittedAsFarAsTheirDecodedSizeFits) {
    // Each call holds its body and about six times that decoded: two such
    // calls fit in the budget, a third must be refused before its body comes.
    const LargeInsert call;
    serveWithRoomForTwoAndAHalf(call);
    const std::string& body = call.body;
    const std::string& head = call.head;
    // The heads go one after the other; each is answered before its body is sent.
    auto admit = [&](RawClient& c) { return admitHead(c, head); };
    std::vector<std::unique_ptr<RawClient>> clients;
    std::vector<int> statuses;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<RawClient>(port_));
        statuses.push_back(admit(*clients.back()));
    }
    EXPECT_EQ(statuses, (std::vector<int>{100, 100, 503, 503}));

    // The two admitted calls run in full; their shares come back afterwards.
    for (int i = 0; i < 2; ++i) {
        bool closed = false;
        clients[i]->send(body);
        const Answers a = parseAnswers(clients[i]->readAnswers(closed));
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(failureText(a.body), "<not a failure envelope>");
    }
    clients.clear();
    std::unique_ptr<RawClient> next;
    EXPECT_EQ(admitOnceFreed(port_, head, next), 100);
    EXPECT_GT(store_->rowCount(), 0);
}

TEST_F(HostileClients, PacketArraysKeptForVerificationGiveWayToCalls) {
    const LargeInsert call;
    serveWithRoomForTwoAndAHalf(call);
    const std::string& body = call.body;
    const std::string& head = call.head;
    auto admit = [&](RawClient& c) { return admitHead(c, head); };
    {
        // One insert alone: its decoded array is kept for its verification.
        RawClient c(port_);
        ASSERT_EQ(admit(c), 100);
        bool closed = false;
        c.send(body);
        EXPECT_EQ(parseAnswers(c.readAnswers(closed)).status, 200);
    }
    // Two calls fit in the budget once the kept array is let go.
    std::unique_ptr<RawClient> first, second;
    EXPECT_EQ(admitOnceFreed(port_, head, first), 100);
    EXPECT_EQ(admitOnceFreed(port_, head, second), 100);
}

// Opens as many descriptors as the test may (it holds both ends of each connection).
int connectionsWeCanOpen(int wanted) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t need = static_cast<rlim_t>(wanted) * 2 + 256;
    if (limit.rlim_cur < need) {
        limit.rlim_cur = std::min(need, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return static_cast<int>(std::min<rlim_t>(wanted, (limit.rlim_cur - 256) / 2));
}

TEST_F(HostileClients, SlowAndIdleConnectionsDoNotHoldUpAStation) {
    const int n = connectionsWeCanOpen(1000);
    serve();
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < n; ++i) {
        auto c = std::make_unique<RawClient>(port_);
        if (i % 3 == 1) c->send("POST /call/Exp.rdmInsereServidor/getLimpezaDiaria HTTP/1.1\r\nHo");
        if (i % 3 == 2) {
            c->send(callRequest("/call/Exp.rdmInsereServidor/getLimpezaDiaria",
                                std::string(1000, '\xC0'))
                        .substr(0, 150));
        }
        slow.push_back(std::move(c));
    }
    // A station that would give up after 5 s still gets its transfer through.
    setRegistry({{"IPServer", "127.0.0.1:" + std::to_string(port_)}, {"ServerReadTimeout", "5"}});
    ASSERT_TRUE(connections_->ConectaServidor(true, "x"));
    auto& exp = connections_->netInsereServidor;
    const VariantArray packets = samplePacketArray(100);
    callChecked(exp, "setInsereServidor",
                {Variant("0001"), Variant("001"), Variant("01"), Variant(packets)});
    const Variant results = callChecked(exp, "getVerificaExportacao",
                                        {Variant("0001"), Variant("001"), Variant(packets)});
    const Dataset& sales = results.asArray().at(10).asPacket();
    ASSERT_EQ(sales.rows().size(), 100u);
    for (const Row& r : sales.rows()) EXPECT_EQ(r[sales.fieldIndex("IDSITUACAO")].asString(), "OK");
    EXPECT_GE(http_->openConnections(), static_cast<std::size_t>(n));
}

TEST_F(HostileClients, ConnectionsThatDoNotSendInTimeAreDropped) {
    server::HttpServerOptions options;
    options.headerTimeoutSeconds = 1;
    options.readTimeoutSeconds = 1;
    serve(std::move(options));
    RawClient idle(port_), partialHead(port_), partialBody(port_);
    partialHead.send("POST /call/Exp.rdmInsereServidor/getLimpezaDiaria HTTP/1.1\r\nHo");
    partialBody.send(
        callRequest("/call/Exp.rdmInsereServidor/getLimpezaDiaria", std::string(1000, '\xC0'))
            .substr(0, 150));
    for (RawClient* c : {&idle, &partialHead, &partialBody}) {
        bool closed = false;
        c->readAll(closed, std::chrono::seconds(10));
        EXPECT_TRUE(closed);
    }
}

TEST_F(HostileClients, NamesFromTheBodyCannotForgeALogLine) {
    std::vector<std::string> lines;
    std::mutex linesMutex;
    server::HttpServerOptions options;
    options.log = [&](const std::string& line) {
        std::lock_guard lock(linesMutex);
        lines.push_back(line);
    };
    serve(std::move(options));
    const std::string forged = "\nstation=0001/001 peer=10.0.0.1 call=Exp.rdmInsereServidor";
    auto field = std::make_shared<Dataset>(
        std::vector<FieldDef>{{"NRSEQVENDA" + forged, FieldType::Integer, 0, 0}});
    field->rows().push_back({Variant("text where a number belongs")});
    const Bytes wrongKind = protocol::encodeRequest("Exp.rdmInsereServidor", "getLimpezaDiaria",
                                                    {Variant(field->toPacket())});
    const std::string requests[] = {
        callRequest(kCleanupUrl, bodyOf(protocol::encodeRequest("Exp.rdmInsereServidor" + forged,
                                                                "setDtUltimaLimpeza", {}))),
        callRequest("/call/Exp.rdmInsereServidor/getLimpezaDiaria", bodyOf(wrongKind)),
    };
    for (const std::string& r : requests) {
        bool closed = false;
        EXPECT_EQ(exchange(port_, r + "", closed).status, 400);
    }
    http_->stop();
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
        EXPECT_NE(line.find("\\nstation=0001/001"), std::string::npos) << line;
    }
}

TEST_F(HostileClients, AServerDoesNotStartWhereItMustNot) {
    serve();
    server::HttpServer second(*app_, {});
    try {
        second.bind("127.0.0.1", port_);
        FAIL() << "a second server shares the port";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("already in use"), std::string::npos) << e.what();
    }
    for (int port : {0, 65536, 70000, -1}) {
        server::HttpServer s(*app_, {});
        EXPECT_THROW(s.bind("127.0.0.1", port), ConfigError) << port;
    }
    if (::geteuid() != 0) {
        server::HttpServer low(*app_, {});
        try {
            low.bind("127.0.0.1", 211);
            FAIL() << "bound below 1024 without privilege";
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find("below 1024"), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace qel::testing
