#include "http_exchange.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"

namespace qel::server {
namespace {

// An answer of an encoded body, gzip-compressed when worth it and accepted.
Answer bodyAnswer(int status, Bytes&& encoded, bool acceptsGzip, bool compress) {
    Answer a;
    a.status = status;
    const Bytes body = std::move(encoded);
    if (compress && acceptsGzip && body.size() >= protocol::kCompressThreshold) {
        a.body = protocol::gzipCompress(body);
        a.gzip = true;
    } else {
        a.body.assign(reinterpret_cast<const char*>(body.data()), body.size());
    }
    return a;
}

Answer envelopeAnswer(int status, const Variant& envelope, bool acceptsGzip, bool compress) {
    return bodyAnswer(status, protocol::encode(envelope), acceptsGzip, compress);
}

Answer busy() {
    Answer a = refusal(503,
                       "The server is holding as many large requests as its memory allows; "
                       "try again shortly");
    a.headers.emplace_back("Retry-After", "5");
    return a;
}

}  // namespace

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::string_view targetPath(std::string_view target) {
    for (std::string_view scheme : {"http://", "https://"}) {
        if (target.size() >= scheme.size() &&
            equalsIgnoringCase(target.substr(0, scheme.size()), scheme)) {
            const std::string_view rest = target.substr(scheme.size());
            const auto path = rest.find_first_of("/?");
            target = path == std::string_view::npos ? std::string_view("/") : rest.substr(path);
            if (target.front() == '?') target = "/";
            break;
        }
    }
    return target.substr(0, target.find('?'));
}

std::string transferEncodingProblem(const std::vector<std::string_view>& values) {
    std::vector<std::string_view> codings;
    for (std::string_view value : values) {
        for (;;) {
            const auto comma = value.find(',');
            const std::string_view coding = trimmed(value.substr(0, comma));
            if (!coding.empty()) codings.push_back(coding);
            if (comma == std::string_view::npos) break;
            value.remove_prefix(comma + 1);
        }
    }
    if (values.empty()) return {};
    if (codings.size() == 1 && equalsIgnoringCase(codings[0], "chunked")) return {};
    std::string all;
    for (std::string_view v : values) all += (all.empty() ? "" : ", ") + std::string(v);
    return "Transfer-Encoding \"" + all +
           "\" is not accepted: only \"chunked\" alone frames a body";
}

Route routeOf(std::string_view verb, std::string_view target) {
    Route route;
    target = targetPath(target);
    if (target == "/health") {
        route.kind =
            verb == "GET" || verb == "HEAD" ? Route::Kind::Health : Route::Kind::WrongMethod;
        route.allow = "GET, HEAD";
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
                               std::size_t budgetCapacity, std::size_t statedSize) {
    std::size_t expected = 0;
    if (gzipped && statedSize > 0) {
        const std::size_t unpacked = std::min(statedSize, limits.maxRequestBytes);
        const std::size_t decoded =
            std::min(unpacked * kDecodedPerEncodedByte, limits.maxDecodedBytes);
        expected = contentLength + unpacked + decoded;
    } else {
        const std::size_t decodedBound =
            limits.maxDecodedBytes + (gzipped ? limits.maxRequestBytes : std::size_t{0});
        expected = contentLength + std::min(contentLength * kDecodedPerEncodedByte, decodedBound);
    }
    return std::min(expected, std::max(budgetCapacity, contentLength));
}

Answer executeCall(ApplicationServer& app, CallInput& input, const CallLimits& limits,
                   Reservation& reservation, PacketArrayCache* packets) {
    // Arrays kept for later verifications give way to the call in hand; the
    // eldest call waits for the others' shares (they fail and give them back).
    auto grow = [&](std::size_t total) {
        if (reservation.growTo(total)) return;
        if (packets) packets->clear();
        if (!reservation.growTo(total, kEldestCallWaits)) throw MemoryBudgetExceeded{};
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
        std::size_t decoded = 0;
        decodeLimits.onMemory = [&](std::size_t memory) {
            decoded = memory;
            grow(held + memory);
        };
        // The packet array of a transfer's verification is the one its insert
        // decoded just before, when this server received that insert.
        const bool exportCall = packets && input.object == kExportObject;
        const bool insert = exportCall && input.method == "setInsereServidor";
        protocol::LastArgument last;
        if (exportCall && input.method == "getVerificaExportacao") {
            last.find = [packets](std::span<const std::uint8_t> b) { return packets->take(b); };
        }
        protocol::Request request = protocol::decodeRequest(
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
        // The call's own work is held beside its decoded request.
        std::size_t work = 0;
        input.caller.holding = [&](std::size_t workNow) {
            work = workNow;
            grow(decoded + workNow);
        };
        CallOutcome outcome = app.call(input.caller, request);
        VariantArray().swap(request.args);
        // The encoded answer takes a fraction of its values' memory (a value
        // takes 40 bytes and more, its encoding a few); once it is encoded
        // the values go, and its gzip takes at most as much again.
        grow(work + work / 2);
        Bytes encoded = protocol::encode(outcome.answer);
        grow(work + encoded.size());
        std::string failure;
        if (const std::string* m = protocol::failureMessage(outcome.answer)) failure = *m;
        outcome.answer = Variant();  // the log and the metrics need the rest
        Answer a = bodyAnswer(200, std::move(encoded), input.acceptsGzip, limits.compressAnswers);
        a.failure = std::move(failure);
        a.outcome = std::move(outcome);
        a.dispatched = true;
        return a;
    } catch (const MemoryBudgetExceeded&) {
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
