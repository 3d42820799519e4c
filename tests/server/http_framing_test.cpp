// Request framing as a proxy in front of the server would read it: bodies
// whose end a Transfer-Encoding makes ambiguous are refused, targets in
// absolute form are served, and HEAD answers the head of GET alone.

#include <chrono>
#include <string>
#include <thread>

#include "http_exchange.h"
#include "loopback_fixture.h"
#include "protocol/envelope.h"
#include "raw_client.h"

namespace qel::testing {
namespace {

class HttpFraming : public Loopback {};

TEST_F(HttpFraming, ATransferEncodingOtherThanChunkedAloneIsRefusedWhateverTheLength) {
    serve();
    const std::string body = cleanupBody();
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    const std::string head = "POST " + std::string(kCleanupUrl) +
                             " HTTP/1.1\r\nHost: x\r\nContent-Type: application/msgpack\r\n";
    const std::string refused[] = {
        "Transfer-Encoding: gzip\r\n" + length,
        "Transfer-Encoding: xchunked\r\n" + length,
        "Transfer-Encoding: chunked, gzip\r\n" + length,
        "Transfer-Encoding: gzip, chunked\r\n" + length,
        "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n" + length,
        "Transfer-Encoding: identity\r\n" + length,
        "Transfer-Encoding: gzip\r\n",
        "Transfer-Encoding: \r\n" + length,
    };
    for (const std::string& fields : refused) {
        RawClient c(port_);
        c.send(head + fields + "\r\n" + body);
        bool closed = false;
        const Answers a = parseAnswers(c.readAnswers(closed));
        EXPECT_EQ(a.status, 400) << fields;
        EXPECT_EQ(a.count, 1) << fields;
        EXPECT_TRUE(closed) << fields;
    }
    EXPECT_FALSE(store_->lastCleanup("0001", "001").has_value()) << "a refused call ran";

    // "chunked" alone frames the body (in any case); a call still needs its length.
    for (const char* coding : {"chunked", "Chunked", " chunked "}) {
        RawClient c(port_);
        c.send(head + "Transfer-Encoding:" + coding + "\r\n\r\n0\r\n\r\n");
        bool closed = false;
        EXPECT_EQ(parseAnswers(c.readAnswers(closed)).status, 411) << coding;
    }
    // Without a Transfer-Encoding the length frames it and the call runs.
    RawClient c(port_);
    c.send(head + length + "\r\n" + body);
    bool closed = false;
    EXPECT_EQ(parseAnswers(c.readAnswers(closed)).status, 200);
    EXPECT_TRUE(store_->lastCleanup("0001", "001").has_value());
}

TEST_F(HttpFraming, AbsoluteFormTargetsAreServedLikeTheirPath) {
    serve();
    const std::pair<std::string, int> cases[] = {
        {"GET http://127.0.0.1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 200},
        {"GET HTTP://server.example:211/health?probe=1 HTTP/1.1\r\nHost: x\r\n\r\n", 200},
        {"GET https://server.example/health HTTP/1.1\r\nHost: x\r\n\r\n", 200},
        {"GET http://server.example HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET http://server.example/elsewhere HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"GET ftp://server.example/health HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {callRequest("http://127.0.0.1:211" + std::string(kCleanupUrl), cleanupBody()), 200},
    };
    for (const auto& [request, status] : cases) {
        RawClient c(port_);
        c.send(request);
        bool closed = false;
        const Answers a = parseAnswers(c.readAnswers(closed));
        EXPECT_EQ(a.status, status) << request.substr(0, 60);
        if (status == 200 && request[0] == 'G') {
            EXPECT_EQ(a.body, "OK");
        }
    }
    EXPECT_TRUE(store_->lastCleanup("0001", "001").has_value());
}

TEST_F(HttpFraming, HeadOfHealthAnswersTheHeadOfGetWithoutItsBody) {
    serve();
    RawClient c(port_);
    // The GET after the HEAD on the same connection shows no body bytes were
    // sent for the HEAD: they would be read as the start of the next answer.
    c.send("HEAD /health HTTP/1.1\r\nHost: x\r\n\r\n");
    bool closed = false;
    // Read until nothing more comes: the head says 2 bytes that never follow.
    const std::string head = c.readAll(closed, std::chrono::milliseconds(500));
    ASSERT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Length: 2\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("X-Qel-Protocol"), std::string::npos) << head;
    EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "") << "HEAD answered with a body";
    EXPECT_FALSE(closed);
    c.send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
    const Answers get = parseAnswers(c.readAnswers(closed));
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.body, "OK");

    // A call's path takes POST only; its Allow says so, and /health's both.
    const Answers call = parseAnswers([&] {
        RawClient d(port_);
        d.send("HEAD " + std::string(kCleanupUrl) + " HTTP/1.1\r\nHost: x\r\n\r\n");
        return d.readAnswers(closed);
    }());
    EXPECT_EQ(call.status, 405);
    const Answers post = parseAnswers([&] {
        RawClient d(port_);
        d.send("POST /health HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
        return d.readAnswers(closed);
    }());
    EXPECT_EQ(post.status, 405);
    EXPECT_NE(post.head.find("Allow: GET, HEAD"), std::string::npos) << post.head;
}

TEST_F(HttpFraming, HealthAndPagesCloseTheConnectionWhenTheClientAsksAsCallsDo) {
    server::HttpServerOptions options;
    options.pages["/page"] = [](const server::PageRequest&) {
        server::PageAnswer p;
        p.body = "page";
        return p;
    };
    serve(std::move(options));
    struct Case {
        std::string request;
        bool closes;
    };
    const std::vector<Case> cases = {
        {"GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", true},
        {"HEAD /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", true},
        {"GET /health HTTP/1.0\r\n\r\n", true},  // 1.0 closes unless asked to keep alive
        {"GET /health HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", false},
        {"GET /health HTTP/1.1\r\nHost: x\r\n\r\n", false},
        {"GET /page HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", true},
        {"GET /page HTTP/1.0\r\n\r\n", true},
        {"GET /page HTTP/1.1\r\nHost: x\r\n\r\n", false},
        {callRequest(kCleanupUrl, cleanupBody(), "application/msgpack", "Connection: close\r\n"),
         true},
    };
    for (const Case& k : cases) {
        RawClient c(port_);
        c.send(k.request);
        bool closed = false;
        const std::string got = c.readAll(closed, std::chrono::milliseconds(800));
        const Answers a = parseAnswers(got);
        EXPECT_EQ(a.status, 200) << k.request;
        EXPECT_EQ(closed, k.closes) << k.request;
        EXPECT_EQ(a.head.find("Connection: close") != std::string::npos, k.closes) << k.request;
    }
}

TEST_F(HttpFraming, TheRequestHeadIsLimitedTo16384BytesWhateverItsLines) {
    serve();
    // Heads of an exact size: request line, fields, a padding field, blank line.
    auto head = [](std::size_t total, const std::string& target, const std::string& fields) {
        const std::string start = "GET " + target + " HTTP/1.1\r\n" + fields + "X-Pad: ";
        return start + std::string(total - start.size() - 4, 'a') + "\r\n\r\n";
    };
    const std::pair<std::string, std::string> shapes[] = {
        {"/health", "Host: x\r\n"},
        {"/health?" + std::string(300, 'q'), "Host: x\r\n"},
        {"/health", "Host: x\r\nA: b\r\nC: d\r\nE: f\r\n"},
    };
    for (const auto& [target, fields] : shapes) {
        for (const std::size_t total : {std::size_t{16384}, std::size_t{16385}}) {
            RawClient c(port_);
            const std::string request = head(total, target, fields);
            ASSERT_EQ(request.size(), total);
            // Sent in two pieces, as a slow client would: the limit is the same.
            c.send(request.substr(0, 100));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            c.send(request.substr(100));
            bool closed = false;
            EXPECT_EQ(parseAnswers(c.readAnswers(closed)).status, total <= 16384 ? 200 : 431)
                << total << " " << target.size() << " " << fields.size();
        }
    }
    // Requests sent back to back are each measured alone.
    RawClient c(port_);
    const std::string one = head(16000, "/health", "Host: x\r\n");
    c.send(one + one);
    bool closed = false;
    std::string stream = c.readAnswers(closed);
    if (parseAnswers(stream).count < 2) stream += c.readAnswers(closed);
    EXPECT_EQ(parseAnswers(stream).count, 2);
    EXPECT_EQ(parseAnswers(stream).status, 200);
}

}  // namespace
}  // namespace qel::testing
