#include "http_exchange.h"

#include <algorithm>
#include <cstdio>

#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"

namespace qel::server {
namespace {

// The shared memory budget cannot hold this call now.
struct BudgetExhausted {};

Answer envelopeAnswer(int status, const Variant& envelope, bool acceptsGzip, bool compress) {
    Answer a;
    a.status = status;
    const Bytes body = protocol::encode(envelope);
    if (compress && acceptsGzip && body.size() >= protocol::kCompressThreshold) {
        a.body = protocol::gzipCompress(body);
        a.gzip = true;
    } else {
        a.body.assign(reinterpret_cast<const char*>(body.data()), body.size());
    }
    return a;
}

Answer busy() {
    Answer a = refusal(503,
                       "The server is holding as many large requests as its memory allows; "
                       "try again shortly");
    a.headers.emplace_back("Retry-After", "5");
    return a;
}

}  // namespace

Route routeOf(std::string_view verb, std::string_view target) {
    Route route;
    if (const auto query = target.find('?'); query != std::string_view::npos) {
        target = target.substr(0, query);
    }
    if (target == "/health") {
        route.kind = verb == "GET" ? Route::Kind::Health : Route::Kind::WrongMethod;
        route.allow = "GET";
        return route;
    }
    constexpr std::string_view prefix = "/call/";
    if (target.substr(0, prefix.size()) != prefix) return route;
    const std::string_view rest = target.substr(prefix.size());
    const auto slash = rest.find('/');
    if (slash == 0 || slash == std::string_view::npos || slash + 1 == rest.size() ||
        rest.find('/', slash + 1) != std::string_view::npos) {
        return route;
    }
    route.object = rest.substr(0, slash);
    route.method = rest.substr(slash + 1);
    route.kind = verb == "POST" ? Route::Kind::Call : Route::Kind::WrongMethod;
    route.allow = "POST";
    return route;
}

Answer refusal(int status, const std::string& message) {
    Answer a = envelopeAnswer(status, protocol::failureAnswer(message), false, false);
    a.failure = message;
    return a;
}

const StationGrant* grantOf(const Credentials& credentials, std::string_view authorization) {
    constexpr std::string_view prefix = "Bearer ";
    if (authorization.size() <= prefix.size() || authorization.substr(0, prefix.size()) != prefix) {
        return nullptr;
    }
    return credentials.find(authorization.substr(prefix.size()));
}

bool isMessagePack(std::string_view type) {
    return type.rfind("application/msgpack", 0) == 0 || type.rfind("application/x-msgpack", 0) == 0;
}

std::size_t expectedCallMemory(std::size_t contentLength, bool gzipped, const CallLimits& limits,
                               std::size_t budgetCapacity) {
    const std::size_t decodedBound =
        limits.maxDecodedBytes + (gzipped ? limits.maxRequestBytes : std::size_t{0});
    const std::size_t decoded = std::min(contentLength * kDecodedPerEncodedByte, decodedBound);
    return std::min(contentLength + decoded, std::max(budgetCapacity, contentLength));
}

Answer executeCall(ApplicationServer& app, CallInput& input, const CallLimits& limits,
                   Reservation& reservation, PacketArrayCache* packets) {
    // Arrays kept for later verifications give way to the call in hand.
    auto grow = [&](std::size_t total) {
        if (reservation.growTo(total)) return;
        if (packets) packets->clear();
        if (!reservation.growTo(total)) throw BudgetExhausted{};
    };
    try {
        const std::size_t wire = input.body.size();
        std::string unpacked;
        if (input.gzipped) {
            unpacked = protocol::gzipDecompress(
                {reinterpret_cast<const std::uint8_t*>(input.body.data()), wire},
                limits.maxRequestBytes, [&](std::size_t size) { grow(wire + size); });
        }
        std::string& bytes = input.gzipped ? unpacked : input.body;
        protocol::DecodeLimits decodeLimits;
        decodeLimits.maxBytes = limits.maxRequestBytes;
        decodeLimits.maxMemory = limits.maxDecodedBytes;
        const std::size_t held = wire + unpacked.size();
        decodeLimits.onMemory = [&](std::size_t memory) { grow(held + memory); };
        // The packet array of a transfer's verification is the one its insert
        // decoded just before, when this server received that insert.
        const bool exportCall = packets && input.object == kExportObject;
        const bool insert = exportCall && input.method == "setInsereServidor";
        protocol::LastArgument last;
        if (exportCall && input.method == "getVerificaExportacao") {
            last.find = [packets](std::span<const std::uint8_t> b) { return packets->take(b); };
        }
        const protocol::Request request = protocol::decodeRequest(
            {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, decodeLimits,
            last);
        if (insert && !last.bytes.empty() && !request.args.empty()) {
            const auto offset = static_cast<std::size_t>(
                last.bytes.data() - reinterpret_cast<const std::uint8_t*>(bytes.data()));
            packets->keep(std::move(bytes), offset, {request.args.back(), last.memory});
        }
        // The bodies are no longer needed while the call runs.
        std::string().swap(unpacked);
        std::string().swap(input.body);
        if (request.object != input.object || request.method != input.method) {
            return refusal(400, "The request names " + request.object + "." + request.method +
                                    " but was sent to " + input.object + "." + input.method);
        }
        CallOutcome outcome = app.call(input.caller, request);
        Answer a = envelopeAnswer(200, outcome.answer, input.acceptsGzip, limits.compressAnswers);
        if (const std::string* m = protocol::failureMessage(outcome.answer)) a.failure = *m;
        a.outcome = std::move(outcome);
        a.dispatched = true;
        return a;
    } catch (const BudgetExhausted&) {
        return busy();
    } catch (const protocol::GzipTooLarge& e) {
        return refusal(413, std::string(e.what()) + " (the server's limit for a request body)");
    } catch (const protocol::DecodeTooLarge& e) {
        return refusal(413, e.what());
    } catch (const protocol::ProtocolError& e) {
        return refusal(400, e.what());
    } catch (const CallRejected& e) {
        return refusal(e.status(), e.what());
    } catch (const std::bad_alloc&) {
        return refusal(503, "The server ran out of memory for this request");
    } catch (const std::exception& e) {
        // Damaged gzip streams and faults of the server itself.
        const bool badBody = input.gzipped && std::string_view(e.what()).rfind("gzip:", 0) == 0;
        return refusal(
            badBody ? 400 : 500,
            badBody ? std::string(e.what()) : "Internal server error: " + std::string(e.what()));
    }
}

std::string escapeForLog(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string callLogLine(const Answer& answer, std::string_view peerAddress, std::string_view object,
                        std::string_view method, double milliseconds) {
    auto orDash = [](const std::string& s) {
        return s.empty() ? std::string("-") : escapeForLog(s);
    };
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f", milliseconds);
    std::string line = "station=" + orDash(answer.outcome.store) + "/" +
                       orDash(answer.outcome.station) + " peer=" + std::string(peerAddress) +
                       " call=" + escapeForLog(object) + "." + escapeForLog(method) +
                       " rows=" + std::to_string(answer.outcome.rows) + " ms=" + elapsed +
                       " status=" + std::to_string(answer.status);
    if (!answer.failure.empty()) line += " error=\"" + escapeForLog(answer.failure) + "\"";
    return line;
}

}  // namespace qel::server
