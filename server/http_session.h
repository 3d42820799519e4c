#pragma once
// One connection of the HTTP front: reads request heads and bodies under
// deadlines, refuses what it will not read, hands calls to the worker pool
// and writes the answers. Included by http_server.cpp only.

#include <utility>  // before Asio, whose C++20 parts use std::exchange

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "allocator.h"
#include "connection_room.h"
#include "http_exchange.h"
#include "http_server.h"
#include "memory_budget.h"
#include "protocol/codec.h"
#include "protocol/gzip.h"

namespace qel::server::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

// What every connection shares with the server.
struct SessionShared {
    ApplicationServer& app;
    const HttpServerOptions& options;
    SharedCredentials* credentials;  // null when requests need none
    CallLimits limits;
    MemoryBudget& budget;
    PacketArrayCache& packets;
    asio::thread_pool& workers;
    std::atomic<std::size_t>& connections;
    std::optional<ConnectionRoom>& room;
};

// Beast's string_view is Boost's; the rest of the server speaks std's.
inline std::string_view sv(beast::string_view s) {
    return {s.data(), s.size()};
}

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
    static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;
    // The whole request head: request line, header fields and blank line.
    // The parser's own limit leaves out what it has parsed from earlier
    // reads, so it is set a little higher and the head is measured whole.
    static constexpr std::size_t kHeaderLimit = 16 * 1024;
    static constexpr std::size_t kParserHeaderLimit = kHeaderLimit + 1024;

  public:
    Session(SessionShared& shared, Stream&& stream)
        : shared_(shared), stream_(std::move(stream)), reservation_(shared.budget) {
        beast::error_code ec;
        const auto remote = tcp().socket().remote_endpoint(ec);
        if (!ec) {
            peerAddress_ = remote.address().to_string();
            peer_ = peerAddress_ + ":" + std::to_string(remote.port());
        }
    }
    ~Session() {
        shared_.room->leave(waiting_);
        shared_.connections.fetch_sub(1);
    }

    void start() {
        // Until its first accepted request head the connection may be closed
        // to make room for others.
        waiting_ = shared_.room->enter(
            peerAddress_, [weak = this->weak_from_this(), executor = tcp().get_executor()] {
                asio::post(executor, [weak] {
                    if (auto self = weak.lock()) self->close();
                });
            });
        tcp().expires_after(seconds(shared_.options.headerTimeoutSeconds));
        if constexpr (kTls) {
            stream_.async_handshake(asio::ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        if (!ec) self->readHead();
                                    });
        } else {
            readHead();
        }
    }

  private:
    static std::chrono::seconds seconds(int s) { return std::chrono::seconds(s > 0 ? s : 1); }
    beast::tcp_stream& tcp() { return beast::get_lowest_layer(stream_); }

    void readHead() {
        parser_.emplace();
        parser_->header_limit(kParserHeaderLimit);
        parser_->body_limit(shared_.limits.maxRequestBytes);
        // A connection that has not yet had a request answered gets only
        // the head deadline; one that has waits the keep-alive time.
        tcp().expires_after(seconds(served_ == 0 ? shared_.options.headerTimeoutSeconds
                                                 : shared_.options.keepAliveSeconds));
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = this->shared_from_this()](
                                    beast::error_code ec, std::size_t n) { self->onHead(ec, n); });
    }

    void onHead(beast::error_code ec, std::size_t headBytes) {
        started_ = std::chrono::steady_clock::now();
        if (ec == http::error::body_limit) return refuseBeforeBody(tooLarge());
        if (ec == http::error::header_limit || (!ec && headBytes > kHeaderLimit)) {
            return refuseBeforeBody(refusal(
                431, "Request head larger than " + std::to_string(kHeaderLimit) + " bytes"));
        }
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == asio::error::operation_aborted || ec == asio::error::eof ||
            ec == asio::error::connection_reset) {
            return close();
        }
        if (ec) return refuseBeforeBody(refusal(400, "Malformed HTTP request: " + ec.message()));

        const auto& req = parser_->get();
        headOnly_ = req.method() == http::verb::head;
        std::vector<std::string_view> codings;
        const auto [first, last] = req.equal_range(http::field::transfer_encoding);
        for (auto f = first; f != last; ++f) codings.push_back(sv(f->value()));
        if (const std::string problem = transferEncodingProblem(codings); !problem.empty()) {
            return refuseBeforeBody(refusal(400, problem));
        }
        if ((req.method() == http::verb::get || headOnly_) && servePage()) return;
        route_ = routeOf(sv(req.method_string()), sv(req.target()));
        if (route_.kind == Route::Kind::NotFound) {
            return refuseBeforeBody(refusal(404, "No such path: " + std::string(sv(req.target()))));
        }
        if (route_.kind == Route::Kind::WrongMethod) {
            Answer a = refusal(405, std::string(sv(req.target())) + " takes " + route_.allow);
            a.headers.emplace_back("Allow", route_.allow);
            return refuseBeforeBody(std::move(a));
        }
        if (shared_.credentials) {
            // The grant points into this set, held until the next request.
            admittedUnder_ = shared_.credentials->current();
            grant_ = grantOf(*admittedUnder_, sv(req[http::field::authorization]));
            if (!grant_) {
                Answer a = refusal(401, "Station credential missing or not accepted");
                a.headers.emplace_back("WWW-Authenticate", "Bearer");
                return refuseBeforeBody(std::move(a));
            }
        }
        leaveWaiting();
        if (route_.kind == Route::Kind::Health) {
            Answer a;
            a.body = "OK";
            a.contentType = "text/plain";
            a.headers.emplace_back("X-Qel-Protocol", std::to_string(protocol::kProtocolVersion));
            // A body nobody reads would be taken for the next request; and a
            // client that asked to close (or spoke HTTP/1.0) is taken at its word.
            a.close = hasBody() || !req.keep_alive();
            return send(std::move(a));
        }
        if (!isMessagePack(sv(req[http::field::content_type]))) {
            return refuseBeforeBody(refusal(415, "The request body must be application/msgpack"));
        }
        const std::string_view encoding = sv(req[http::field::content_encoding]);
        if (!encoding.empty() && encoding != "gzip" && encoding != "identity") {
            return refuseBeforeBody(
                refusal(415, "Content-Encoding " + std::string(encoding) + " is not accepted"));
        }
        const auto length = parser_->content_length();
        if (!length) {
            return refuseBeforeBody(refusal(411, "A call needs a Content-Length"));
        }
        if (*length > shared_.limits.maxRequestBytes) return refuseBeforeBody(tooLarge());
        // Reserving what the call will hold decoded, not only its body, lets
        // as many simultaneous large calls in as fit and refuses the rest
        // now, instead of letting all of them start and run out together.
        if (!reserveFor(0, static_cast<std::size_t>(*length))) {
            Answer a = refusal(503,
                               "The server is holding as many large requests as its memory "
                               "allows; try again shortly");
            a.headers.emplace_back("Retry-After", "5");
            return refuseBeforeBody(std::move(a));
        }
        if (sv(req[http::field::expect]) == "100-continue") {
            continueAnswer_.emplace(http::status::continue_, 11);
            return http::async_write(
                stream_, *continueAnswer_,
                [self = this->shared_from_this()](beast::error_code e, std::size_t) {
                    if (e) return self->close();
                    self->readBody();
                });
        }
        readBody();
    }

    // Grows the reservation to what the call is expected to hold (see
    // expectedCallMemory); false when the budget cannot give it.
    bool reserveFor(std::size_t statedSize, std::size_t length) {
        const bool gzipped = sv(parser_->get()[http::field::content_encoding]) == "gzip";
        const std::size_t expected = expectedCallMemory(length, gzipped, shared_.limits,
                                                        shared_.budget.capacity(), statedSize);
        if (reservation_.growTo(expected)) return true;
        // Arrays kept for later verifications give way to calls.
        shared_.packets.clear();
        return reservation_.growTo(expected);
    }

    // A GET page beside the protocol (fleet page, metrics); it checks its
    // own access and may query the store, so it runs on a worker.
    bool servePage() {
        const auto& req = parser_->get();
        const std::string_view target = sv(req.target());
        const std::size_t mark = target.find('?');
        const std::string_view path = targetPath(target);
        const auto page = shared_.options.pages.find(path);
        if (page == shared_.options.pages.end()) return false;
        route_ = Route{};
        leaveWaiting();
        const PageHandler& handler = page->second;
        PageRequest request{
            std::string(sv(req[http::field::authorization])),
            mark == std::string_view::npos ? std::string() : std::string(target.substr(mark + 1))};
        const bool close = hasBody() || !req.keep_alive();
        asio::post(shared_.workers, [self = this->shared_from_this(), &handler,
                                     request = std::move(request), close] {
            Answer a;
            try {
                PageAnswer p = handler(request);
                a.status = p.status;
                a.body = std::move(p.body);
                a.contentType = std::move(p.contentType);
                a.headers = std::move(p.headers);
            } catch (const std::exception& e) {
                a = refusal(500, std::string("Internal server error: ") + e.what());
            }
            a.close = close;
            asio::post(self->tcp().get_executor(),
                       [self, a = std::move(a)]() mutable { self->send(std::move(a)); });
        });
        return true;
    }

    // The connection sent a request head the server takes: it is no longer
    // closed to make room for others.
    void leaveWaiting() {
        if (!waiting_) return;
        shared_.room->leave(waiting_);
        waiting_.reset();
    }

    bool hasBody() const { return parser_->chunked() || parser_->content_length().value_or(0) > 0; }

    Answer tooLarge() const {
        return refusal(413, "Request larger than the server's limit of " +
                                std::to_string(shared_.limits.maxRequestBytes) + " bytes");
    }

    void readBody() {
        tcp().expires_after(seconds(shared_.options.readTimeoutSeconds));
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                             self->onBody(ec);
                         });
    }

    void onBody(beast::error_code ec) {
        if (ec == http::error::body_limit) return refuseBeforeBody(tooLarge());
        if (ec) return close();  // the body did not come in time or in full
        tcp().expires_never();
        auto& req = parser_->get();
        auto input = std::make_shared<CallInput>();
        input->object = route_.object;
        input->method = route_.method;
        input->body = std::move(req.body());
        input->gzipped = sv(req[http::field::content_encoding]) == "gzip";
        input->acceptsGzip =
            sv(req[http::field::accept_encoding]).find("gzip") != std::string_view::npos;
        input->caller = Caller{peer_, grant_, {}};
        keepAlive_ = req.keep_alive();
        // A gzip body was admitted for its length; now its trailer tells what
        // it unpacks to, and the call is held to that before it unpacks.
        if (input->gzipped &&
            !reserveFor(
                protocol::gzipStatedSize({reinterpret_cast<const std::uint8_t*>(input->body.data()),
                                          input->body.size()}),
                input->body.size())) {
            Answer a = refusal(503,
                               "The server is holding as many large requests as its memory "
                               "allows; try again shortly");
            a.headers.emplace_back("Retry-After", "5");
            a.close = !keepAlive_;
            return send(std::move(a));
        }
        asio::post(shared_.workers, [self = this->shared_from_this(), input] {
            Answer a = executeCall(self->shared_.app, *input, self->shared_.limits,
                                   self->reservation_, &self->shared_.packets);
            a.close = a.close || !self->keepAlive_;
            asio::post(self->tcp().get_executor(),
                       [self, a = std::move(a)]() mutable { self->send(std::move(a)); });
        });
    }

    // Answers a request whose body stays unread; the connection is closed
    // after it, since those bytes would otherwise be read as a request.
    void refuseBeforeBody(Answer answer) {
        answer.close = true;
        send(std::move(answer));
    }

    void send(Answer answer) {
        if (route_.kind == Route::Kind::Call || route_.kind == Route::Kind::WrongMethod)
            logCall(answer);
        if (route_.kind == Route::Kind::Call && shared_.options.onCall) {
            shared_.options.onCall(CallRecord{route_.method, answer.status, !answer.failure.empty(),
                                              elapsedSeconds(),
                                              answer.dispatched ? &answer.outcome : nullptr});
        }
        res_.emplace(static_cast<http::status>(answer.status), 11);
        res_->set(http::field::server, "qelexp-server");
        res_->set(http::field::content_type, answer.contentType);
        if (answer.gzip) res_->set(http::field::content_encoding, "gzip");
        for (const auto& [name, value] : answer.headers) res_->set(name, value);
        res_->body() = std::move(answer.body);
        res_->keep_alive(!answer.close);
        res_->prepare_payload();
        // HEAD: the head GET would have, Content-Length included, and no body.
        if (headOnly_) res_->body().clear();
        closeAfter_ = answer.close;
        tcp().expires_after(seconds(shared_.options.writeTimeoutSeconds));
        http::async_write(stream_, *res_,
                          [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                              self->onWritten(ec);
                          });
    }

    double elapsedSeconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }

    void logCall(const Answer& answer) {
        if (!shared_.options.log) return;
        const double ms = elapsedSeconds() * 1000.0;
        const auto& req = parser_->get();
        std::string object = route_.object, method = route_.method;
        if (route_.kind != Route::Kind::Call) object = std::string(sv(req.target())), method = "-";
        shared_.options.log(callLogLine(answer, peerAddress_, object, method, ms));
    }

    void onWritten(beast::error_code ec) {
        res_.reset();
        const std::size_t held = reservation_.held();
        reservation_.release();
        if (held >= kReturnMemoryAfter) asio::post(shared_.workers, [] { returnFreeMemory(); });
        ++served_;
        if (ec) return close();
        if (closeAfter_) return lingeringClose();
        readHead();
    }

    // Sends the end of the stream and reads what the client still sends for
    // a short while, so that an unread body does not make the kernel reset
    // the connection before the client has read the answer.
    void lingeringClose() {
        if constexpr (kTls) {
            tcp().expires_after(std::chrono::seconds(2));
            stream_.async_shutdown(
                [self = this->shared_from_this()](beast::error_code) { self->close(); });
        } else {
            beast::error_code ignored;
            tcp().socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
            tcp().expires_after(std::chrono::seconds(2));
            discard_ = std::make_unique<std::array<char, 16 * 1024>>();
            drain();
        }
    }

    void drain() {
        tcp().async_read_some(asio::buffer(*discard_), [self = this->shared_from_this()](
                                                           beast::error_code ec, std::size_t n) {
            self->drained_ += n;
            if (ec || self->drained_ > kDrainLimit) return self->close();
            self->drain();
        });
    }
    static constexpr std::size_t kDrainLimit = 4u << 20;

    void close() {
        beast::error_code ignored;
        tcp().socket().close(ignored);
    }

    SessionShared& shared_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> res_;
    std::optional<http::response<http::empty_body>> continueAnswer_;
    Reservation reservation_;
    ConnectionRoom::Ticket waiting_;
    Route route_;
    std::shared_ptr<const Credentials> admittedUnder_;
    const StationGrant* grant_ = nullptr;
    std::string peer_ = "-";
    std::string peerAddress_ = "-";
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::size_t served_ = 0;
    bool keepAlive_ = true;
    bool headOnly_ = false;
    bool closeAfter_ = false;
    std::unique_ptr<std::array<char, 16 * 1024>> discard_;
    std::size_t drained_ = 0;
};

}  // namespace qel::server::detail
