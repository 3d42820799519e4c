// The HTTP front as a station or an operator meets it: which paths are calls,
// which Authorization headers are a station credential, what the call log
// line says and how it escapes, how a gzip body is admitted before it comes,
// and the budget share a transfer's decoded packet array keeps for its
// verification. The real server on a loopback port, raw HTTP.

#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "loopback_fixture.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"
#include "raw_client.h"
#include "sample_packets.h"

namespace qel::testing {
namespace {

Answers exchangeOnce(int port, const std::string& request) {
    RawClient c(port);
    c.send(request);
    bool closed = false;
    return parseAnswers(c.readAnswers(closed));
}

// The answers of a connection that stays open: the request, then a /health
// on the same connection. The server reads the next request only after it
// has written the last answer and given back that call's memory, so once the
// /health answer is in, only what outlives the call is still reserved.
Answers callThenSettle(RawClient& c, const std::string& request) {
    bool closed = false;
    c.send(request);
    const Answers a = parseAnswers(c.readAnswers(closed));
    c.send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(parseAnswers(c.readAnswers(closed)).status, 200);
    return a;
}

class HttpFront : public Loopback {
  protected:
    void serveLogging(server::HttpServerOptions options = {}) {
        options.log = [this](const std::string& line) {
            std::lock_guard lock(linesMutex_);
            lines_.push_back(line);
        };
        serve(std::move(options));
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(linesMutex_);
        return lines_;
    }

  private:
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
};

TEST_F(HttpFront, OnlyAPathUnderCallSlashNamesACall) {
    serve();
    // Six characters before the object, as "/call/" has: none of them is it.
    for (const char* prefix : {"/CALL/", "/cal1/", "/call_", "/xall/", "/calls"}) {
        const std::string target = std::string(prefix) + "Exp.rdmInsereServidor/setDtUltimaLimpeza";
        EXPECT_EQ(exchangeOnce(port_, callRequest(target, cleanupBody())).status, 404) << target;
    }
    EXPECT_FALSE(store_->lastCleanup("0001", "001").has_value()) << "a call ran off its path";
    EXPECT_EQ(exchangeOnce(port_, callRequest(kCleanupUrl, cleanupBody())).status, 200);
    EXPECT_TRUE(store_->lastCleanup("0001", "001").has_value());
}

TEST_F(HttpFront, OnlyTheBearerSchemeCarriesAStationCredential) {
    server::HttpServerOptions options;
    options.credentials = server::Credentials::parse("s3cr3t-0001 0001 001\n");
    serve(std::move(options));
    // Seven characters before the token, as "Bearer " has, or none after it.
    for (const char* field : {"Bearer:s3cr3t-0001", "Basic: s3cr3t-0001", "Bearer  s3cr3t-0001",
                              "Bearer ", "Bearer", "s3cr3t-0001"}) {
        const Answers a =
            exchangeOnce(port_, callRequest(kCleanupUrl, cleanupBody(), "application/msgpack",
                                            "Authorization: " + std::string(field) + "\r\n"));
        EXPECT_EQ(a.status, 401) << field;
        EXPECT_NE(a.head.find("WWW-Authenticate: Bearer"), std::string::npos) << field;
    }
    EXPECT_FALSE(store_->lastCleanup("0001", "001").has_value());
    EXPECT_EQ(exchangeOnce(port_, callRequest(kCleanupUrl, cleanupBody(), "application/msgpack",
                                              "Authorization: Bearer s3cr3t-0001\r\n"))
                  .status,
              200);
    EXPECT_TRUE(store_->lastCleanup("0001", "001").has_value());
}

TEST_F(HttpFront, TheCallLogLineNamesStationPeerCallRowsTimeStatusAndError) {
    serveLogging();
    // Answered, refused for its method, and failed with a reason that holds
    // every character the log escapes, and some it keeps.
    EXPECT_EQ(exchangeOnce(port_, callRequest(kCleanupUrl, cleanupBody())).status, 200);
    EXPECT_EQ(exchangeOnce(port_, "GET /call/Exp.X/y HTTP/1.1\r\nHost: x\r\n\r\n").status, 405);
    const std::string odd = "Obj\\ \"q\"\r\t\x01\x1F\x7F~ \xC3\xA9";
    EXPECT_EQ(exchangeOnce(port_, callRequest(kCleanupUrl, bodyOf(protocol::encodeRequest(
                                                               odd, "setDtUltimaLimpeza",
                                                               {Variant("0001"), Variant("001")}))))
                  .status,
              400);
    http_->stop();  // every line written
    const std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 3u);
    const std::regex ms(" ms=[0-9]+\\.[0-9] ");
    std::vector<std::string> shown;
    for (const std::string& line : got) {
        EXPECT_TRUE(std::regex_search(line, ms)) << line;
        shown.push_back(std::regex_replace(line, ms, " ms=T "));
    }
    EXPECT_EQ(shown[0],
              "station=0001/001 peer=127.0.0.1 call=Exp.rdmInsereServidor.setDtUltimaLimpeza "
              "rows=0 ms=T status=200");
    EXPECT_EQ(shown[1],
              "station=-/- peer=127.0.0.1 call=/call/Exp.X/y.- rows=0 ms=T status=405 "
              "error=\"/call/Exp.X/y takes POST\"");
    EXPECT_EQ(shown[2],
              "station=-/- peer=127.0.0.1 call=Exp.rdmInsereServidor.setDtUltimaLimpeza rows=0 "
              "ms=T status=400 error=\"The request names Obj\\\\ \\\"q\\\"\\r\\t\\x01\\x1F\\x7F~ "
              "\xC3\xA9.setDtUltimaLimpeza but was sent to "
              "Exp.rdmInsereServidor.setDtUltimaLimpeza\"");
}

// A gzip body's head is admitted for what its length could unpack and
// decode to, before its trailer tells more: while another call holds half
// the budget, a gzip head whose length alone would fit is refused.
TEST_F(HttpFront, AGzipHeadIsAdmittedForWhatItsLengthCouldHoldUnpacked) {
    server::HttpServerOptions options;
    options.maxInFlightBytes = 700000;
    serve(std::move(options));
    auto head = [](std::size_t length, bool gzip) {
        return "POST " + std::string(kCleanupUrl) +
               " HTTP/1.1\r\nHost: x\r\nContent-Type: application/msgpack\r\n" +
               (gzip ? "Content-Encoding: gzip\r\n" : "") +
               "Content-Length: " + std::to_string(length) + "\r\nExpect: 100-continue\r\n\r\n";
    };
    bool closed = false;
    // Holds 50,000 bytes and six times that decoded: half the budget.
    RawClient holder(port_);
    holder.send(head(50000, false));
    ASSERT_EQ(parseAnswers(holder.readAnswers(closed)).status, 100);
    ASSERT_EQ(http_->memoryReserved(), 350000u);

    // Plain, 40,000 bytes would hold 280,000: admitted beside it.
    RawClient plain(port_);
    plain.send(head(40000, false));
    EXPECT_EQ(parseAnswers(plain.readAnswers(closed)).status, 100);
    EXPECT_EQ(http_->memoryReserved(), 630000u);
    // Gzip, 60,000 bytes are counted as unpacking to as much and decoding
    // to six times that; 60,000 alone would fit in what is left.
    RawClient packed(port_);
    packed.send(head(60000, true));
    const Answers refused = parseAnswers(packed.readAnswers(closed));
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.head.find("Retry-After: 5"), std::string::npos) << refused.head;
    EXPECT_EQ(http_->memoryReserved(), 630000u);
}

// The array a transfer's insert decoded is kept, with its share of the
// budget, for the verification that sends the same bytes next; that
// verification takes it and its share goes back.
TEST_F(HttpFront, AnInsertsPacketArrayHoldsItsShareUntilItsVerificationTakesIt) {
    serve();
    const VariantArray packets = samplePacketArray(20);
    const std::string insert =
        callRequest("/call/Exp.rdmInsereServidor/setInsereServidor",
                    bodyOf(protocol::encodeRequest(
                        "Exp.rdmInsereServidor", "setInsereServidor",
                        {Variant("0001"), Variant("001"), Variant("01"), Variant(packets)})));
    const std::string verify = callRequest(
        "/call/Exp.rdmInsereServidor/getVerificaExportacao",
        bodyOf(protocol::encodeRequest("Exp.rdmInsereServidor", "getVerificaExportacao",
                                       {Variant("0001"), Variant("001"), Variant(packets)})));
    RawClient c(port_);
    ASSERT_EQ(callThenSettle(c, insert).status, 200);
    const std::size_t kept = http_->memoryReserved();
    EXPECT_GT(kept, insert.size()) << "the decoded array was not kept";
    ASSERT_EQ(callThenSettle(c, verify).status, 200);
    EXPECT_EQ(http_->memoryReserved(), 0u);
    // A cleanup call keeps nothing.
    ASSERT_EQ(callThenSettle(c, callRequest(kCleanupUrl, cleanupBody())).status, 200);
    EXPECT_EQ(http_->memoryReserved(), 0u);
}

}  // namespace
}  // namespace qel::testing
