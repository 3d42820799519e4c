// The server's listening socket and its defaults: a restarted server takes
// its port back while the last connections linger, a failed bind leaves the
// server free to bind elsewhere, and the decoded values of a request are
// bounded at eight times the request's own bound unless told otherwise.

#include <chrono>

#include "core/error.h"
#include "loopback_fixture.h"
#include "protocol/codec.h"
#include "raw_client.h"

namespace qel::testing {
namespace {

// A port nothing listens on now.
int freePort(server::ApplicationServer& app) {
    server::HttpServer probe(app, {});
    return probe.bindToAnyPort("127.0.0.1");
}

int healthStatus(int port) {
    RawClient c(port);
    c.send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
    bool closed = false;
    return parseAnswers(c.readAnswers(closed)).status;
}

class Listening : public Loopback {};

TEST_F(Listening, ARestartedServerTakesItsPortBackWhileItsLastConnectionLingers) {
    const int port = freePort(*app_);
    {
        server::HttpServer first(*app_, {});
        first.bind("127.0.0.1", port);
        first.start();
        // The server closes first, so its end of the connection lingers
        // (TIME_WAIT) after both ends are gone.
        RawClient c(port);
        c.send(callRequest(kCleanupUrl, cleanupBody(), "application/msgpack",
                           "Connection: close\r\n"));
        bool closed = false;
        const std::string answer = c.readAll(closed);
        ASSERT_EQ(parseAnswers(answer).status, 200);
        ASSERT_TRUE(closed);
    }
    server::HttpServer second(*app_, {});
    EXPECT_NO_THROW(second.bind("127.0.0.1", port));
    second.start();
    EXPECT_EQ(healthStatus(port), 200);
}

TEST_F(Listening, AFailedBindLeavesTheServerFreeToBindAnotherPort) {
    serve();  // holds port_
    server::HttpServer other(*app_, {});
    EXPECT_THROW(other.bind("127.0.0.1", port_), ConfigError);
    const int port = freePort(*app_);
    EXPECT_NO_THROW(other.bind("127.0.0.1", port));
    other.start();
    EXPECT_EQ(healthStatus(port), 200);
    EXPECT_EQ(healthStatus(port_), 200);
}

// A call of `nils` nils as its one argument: each costs a whole value once
// decoded, far more than its byte on the wire.
Bytes nilsRequest(std::size_t nils) {
    Bytes b = protocol::encodeRequest("Exp.rdmInsereServidor", "getLimpezaDiaria", {});
    b.back() = 0x91;  // one argument...
    for (std::uint8_t x : {std::uint8_t{0xDC}, static_cast<std::uint8_t>(nils >> 8),
                           static_cast<std::uint8_t>(nils & 0xFF)}) {
        b.push_back(x);  // ...an array of `nils` elements
    }
    b.resize(b.size() + nils, 0xC0);
    return b;
}

bool decodesWithin(std::size_t nils, std::size_t memory) {
    protocol::DecodeLimits limits;
    limits.maxMemory = memory;
    try {
        protocol::decodeRequest(nilsRequest(nils), limits);
        return true;
    } catch (const protocol::DecodeTooLarge&) {
        return false;
    }
}

TEST_F(Listening, WithoutADecodedBoundARequestMayDecodeToEightTimesTheRequestBound) {
    constexpr std::size_t kRequestBound = 64 * 1024;
    constexpr std::size_t kDecodedBound = 8 * kRequestBound;
    // The fewest nils whose decoded values no longer fit in the bound.
    std::size_t fit = 0, over = 65535;
    ASSERT_FALSE(decodesWithin(over, kDecodedBound));
    while (over - fit > 1) {
        const std::size_t mid = (fit + over) / 2;
        (decodesWithin(mid, kDecodedBound) ? fit : over) = mid;
    }
    ASSERT_LE(nilsRequest(over).size(), kRequestBound);
    ASSERT_TRUE(decodesWithin(over, kDecodedBound + kRequestBound));

    server::HttpServerOptions options;
    options.maxRequestBytes = kRequestBound;
    serve(std::move(options));
    auto status = [&](std::size_t nils) {
        RawClient c(port_);
        c.send(
            callRequest("/call/Exp.rdmInsereServidor/getLimpezaDiaria", bodyOf(nilsRequest(nils))));
        bool closed = false;
        return parseAnswers(c.readAnswers(closed)).status;
    };
    EXPECT_EQ(status(fit), 400);  // decoded, and refused for its arguments
    EXPECT_EQ(status(over), 413);
}

}  // namespace
}  // namespace qel::testing
