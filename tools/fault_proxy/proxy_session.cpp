#include "proxy_session.h"

#include <poll.h>

#include "corruption.h"
#include "http_message.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "socket_io.h"

namespace qel::faults {
namespace {

using Kind = BodyFraming::Kind;

// The answer a busy server gives: a failure envelope, and the connection closes.
std::string serviceUnavailable() {
    const Bytes body = protocol::encode(
        protocol::failureAnswer("Service unavailable: the server is not taking calls now"));
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/msgpack\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nRetry-After: 1\r\nConnection: close\r\n\r\n" +
           std::string(reinterpret_cast<const char*>(body.data()), body.size());
}

bool readBody(SocketReader& reader, const BodyFraming& framing, std::string& wire) {
    switch (framing.kind) {
        case Kind::None:
            return true;
        case Kind::Length:
            return reader.readExactly(framing.length, wire);
        case Kind::UntilClose:
            reader.readToEnd(wire);
            return true;
        case Kind::Chunked: {
            ChunkedScanner scanner;
            for (;;) {
                if (const auto end = scanner.scan(reader.buffer())) {
                    wire.append(reader.buffer(), 0, *end);
                    reader.buffer().erase(0, *end);
                    return true;
                }
                if (!reader.fill()) return false;
            }
        }
    }
    return false;
}

struct Message {
    std::string rawHead;
    HttpHead head;
    BodyFraming framing;
    std::string body;  // as it travels
};

// One client connection and its own connection to the server.
class Session {
  public:
    Session(ProxyState& state, int clientFd)
        : state_(state), client_(clientFd), fromClient_(clientFd) {}
    ~Session() {
        state_.release(server_);
        state_.release(client_, resetClient_);
    }

    void run() {
        // The server is down: the client sees its connection drop.
        if (!connectServer()) return;
        try {
            while (exchange()) {
            }
        } catch (const HttpError&) {
            // Not HTTP this proxy can frame: the connection ends.
        }
    }

  private:
    // Relays one request and its answer; false when the connection ends.
    bool exchange() {
        Message request;
        if (!readHead(fromClient_, request)) return false;
        request.framing = requestFraming(request.head);
        // Method calls carry a body; only they take a fault.
        const ArmedFault armed =
            request.framing.kind == Kind::None ? ArmedFault{} : state_.takeFault();
        if (armed.fault == ProxyFault::Reset) return resetMidRequest(request, armed);
        if (!readBody(fromClient_, request.framing, request.body)) return giveBack(armed);
        switch (armed.fault) {
            case ProxyFault::ServerError:
                fired(armed);
                sendAll(client_, serviceUnavailable());
                return false;
            case ProxyFault::CutDuringRequest: {
                // Only a part that reaches a live server counts: one written
                // to a connection the server had closed would never arrive.
                if (!serverStillOpen() && !connectServer()) return giveBack(armed);
                const std::size_t cut = cutPoint(request.body.size(), state_.draw());
                if (!sendAll(server_, request.rawHead + request.body.substr(0, cut))) {
                    return giveBack(armed);
                }
                state_.countBodyBytes(cut);
                return fired(armed);
            }
            default:
                break;
        }
        // A server that closed the connection while it was idle (its keep-alive
        // ran out, or it restarted) is reached anew, as a direct client would.
        // Closing the client's side instead would race with its next request.
        if (!serverStillOpen() && !connectServer()) return giveBack(armed);
        if (!sendAll(server_, request.rawHead) || !sendAll(server_, request.body)) {
            // A server that refuses a request before reading its body answers
            // and closes: the refusal still reaches the client.
            Message refusal;
            if (readAnswer(request, refusal)) sendAll(client_, refusal.rawHead + refusal.body);
            return giveBack(armed);
        }
        state_.countForwarded(request.body.size());

        Message answer;
        if (!readAnswer(request, answer)) return giveBack(armed);
        if (!answerClient(armed, answer)) return false;
        return keepsAlive(request.head) && keepsAlive(answer.head) &&
               answer.framing.kind != Kind::UntilClose;
    }

    bool connectServer() {
        state_.release(server_);
        const Upstream upstream = state_.upstream();
        server_ = connectTo(upstream.host, upstream.port);
        if (server_ < 0) return false;
        state_.track(server_);
        fromServer_.emplace(server_);
        return true;
    }

    // False when the server has closed its side or sent something unasked.
    bool serverStillOpen() const {
        pollfd watched{server_, POLLIN | POLLRDHUP, 0};
        return ::poll(&watched, 1, 0) == 0;
    }

    bool readHead(SocketReader& reader, Message& message) {
        auto raw = reader.readHead();
        if (!raw) return false;
        message.rawHead = std::move(*raw);
        message.head = parseHead(message.rawHead);
        return true;
    }

    // The server's final answer; interim (1xx) answers go to the client as they come.
    // False when the server's connection ends first or its answer cannot be framed.
    bool readAnswer(const Message& request, Message& answer) {
        try {
            for (;;) {
                if (!readHead(*fromServer_, answer)) return false;
                const int status = answer.head.status();
                if (status < 100 || status >= 200) break;
                if (!sendAll(client_, answer.rawHead)) return false;
            }
            answer.framing = answerFraming(answer.head, request.head.method());
            return readBody(*fromServer_, answer.framing, answer.body);
        } catch (const HttpError&) {
            return false;
        }
    }

    // Hands the answer to the client as the fault says; false when the
    // connection ends here.
    bool answerClient(const ArmedFault& armed, Message& answer) {
        switch (armed.fault) {
            case ProxyFault::CutAfterCommit:
                return fired(armed);
            case ProxyFault::CutMidAnswer: {
                const std::size_t cut = cutPoint(answer.body.size(), state_.draw());
                fired(armed);
                sendAll(client_, answer.rawHead + answer.body.substr(0, cut));
                return false;
            }
            case ProxyFault::Delay:
                if (!state_.sleepUnlessStopped(std::chrono::milliseconds(armed.delayMs))) {
                    return false;
                }
                break;
            case ProxyFault::MalformedAnswer:
            case ProxyFault::PartialAnswer:
                reframe(armed.fault, answer);
                break;
            default:
                break;
        }
        state_.countFired(armed.fault);
        return sendAll(client_, answer.rawHead) && sendAll(client_, answer.body);
    }

    // Replaces the answer's body by a damaged or truncated copy, framed
    // by its length so that the client reads all of it.
    void reframe(ProxyFault fault, Message& answer) {
        std::string body =
            answer.framing.kind == Kind::Chunked ? dechunk(answer.body) : std::move(answer.body);
        if (fault == ProxyFault::MalformedAnswer) {
            const auto coding = answer.head.field("Content-Encoding");
            answer.body = malformedBody(body, coding && *coding == "gzip", state_.draw());
        } else {
            body.resize(cutPoint(body.size(), state_.draw()));
            answer.body = std::move(body);
        }
        answer.head.removeField("Transfer-Encoding");
        answer.head.setField("Content-Length", std::to_string(answer.body.size()));
        answer.rawHead = answer.head.text();
    }

    // Forwards the head and part of the body, then resets the client's
    // connection while it is still sending.
    bool resetMidRequest(const Message& request, const ArmedFault& armed) {
        const std::size_t cut =
            request.framing.kind == Kind::Length
                ? cutPoint(static_cast<std::size_t>(request.framing.length), state_.draw())
                : 0;
        std::string part;
        if (!fromClient_.readExactly(cut, part)) return giveBack(armed);
        if (!sendAll(server_, request.rawHead + part)) return giveBack(armed);
        state_.countBodyBytes(part.size());
        resetClient_ = true;
        return fired(armed);
    }

    // The call ended before its fault could act: the fault waits for the next one.
    bool giveBack(const ArmedFault& armed) {
        state_.giveBack(armed);
        return false;
    }
    // The fault has acted and the connection ends. Counted before the client
    // can see the effect, so that a client that saw it also sees it counted.
    bool fired(const ArmedFault& armed) {
        state_.countFired(armed.fault);
        return false;
    }

    ProxyState& state_;
    int client_;
    int server_ = -1;
    bool resetClient_ = false;
    SocketReader fromClient_;
    std::optional<SocketReader> fromServer_;
};

}  // namespace

void serveConnection(ProxyState& state, int clientFd) {
    Session(state, clientFd).run();
}

}  // namespace qel::faults
