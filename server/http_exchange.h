#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "application_server.h"
#include "credentials.h"
#include "memory_budget.h"
#include "packet_array_cache.h"

namespace qel::server {

// Where a request goes, from its method and target alone.
struct Route {
    enum class Kind { Health, Call, NotFound, WrongMethod };
    Kind kind = Kind::NotFound;
    std::string object;  // Call only
    std::string method;
    const char* allow = "";  // WrongMethod: the method the path takes
};
Route routeOf(std::string_view verb, std::string_view target);

// The path of a request target: an absolute-form target
// ("http://host:211/health?x", as proxies send) without its scheme and
// authority, any target without its query.
std::string_view targetPath(std::string_view target);

// Why a request's Transfer-Encoding header values (every line of it, in
// order) cannot frame its body; empty when they can. Only "chunked" alone
// frames a body: with any other coding, or several, a proxy in front may
// take the body's end elsewhere than this server would, so such a request
// is refused whether or not it also has a Content-Length.
std::string transferEncodingProblem(const std::vector<std::string_view>& values);

// An answer ready to be written, with what the log line needs.
struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = "application/msgpack";
    bool gzip = false;
    bool close = false;  // close the connection once it is written
    std::vector<std::pair<std::string, std::string>> headers;
    std::string failure;      // the reason when the call did not succeed
    CallOutcome outcome;      // station and rows, for the log
    bool dispatched = false;  // the call reached the server objects
};

// A refusal: the failure envelope [false, message] with this status.
Answer refusal(int status, const std::string& message);

// The grant of a request's "Authorization: Bearer <token>" header; null when
// the header is missing or its token is not listed.
const StationGrant* grantOf(const Credentials& credentials, std::string_view authorization);

bool isMessagePack(std::string_view contentType);

// Bounds one call's body is held to.
struct CallLimits {
    std::size_t maxRequestBytes = 0;  // the body, on the wire and unpacked
    std::size_t maxDecodedBytes = 0;  // the decoded values
    bool compressAnswers = true;
};

// The memory a call is expected to hold once decoded: its body, its
// unpacked body when gzipped, and its decoded values, which real packets of
// sales make about six times their encoded size. Reserved when its head
// arrives, from the length alone (a gzip body counted as unpacking to its
// own length); for a gzip body again once the body is in, from the size its
// trailer states (`statedSize`, 0 when unknown or implausible), so that
// repetitive rows that unpack fifty-fold are held to their real share before
// they are unpacked. Bounded by what the limits let the call ever hold and
// by the whole budget, so a request the server could serve alone is never
// refused for its estimate. A call that turns out larger grows its
// reservation as it unpacks and decodes.
inline constexpr std::size_t kDecodedPerEncodedByte = 6;
std::size_t expectedCallMemory(std::size_t contentLength, bool gzipped, const CallLimits& limits,
                               std::size_t budgetCapacity, std::size_t statedSize = 0);

// How long the eldest of the calls holding the budget may wait for the
// others' shares when it needs more than is free.
inline constexpr std::chrono::milliseconds kEldestCallWaits{60000};

// One call whose body has been read in full.
struct CallInput {
    std::string object;
    std::string method;
    std::string body;  // as it came
    bool gzipped = false;
    bool acceptsGzip = false;
    Caller caller;
};

// Unpacks, decodes and dispatches a call and encodes its answer. The
// reservation grows with the memory the call holds (a 503 when the shared
// budget cannot give it); bounds exceeded answer 413, malformed bodies 400.
// With `packets`, a transfer's insert keeps its decoded packet array there
// and its verification takes it back instead of decoding the same bytes.
// Never throws.
Answer executeCall(ApplicationServer& app, CallInput& input, const CallLimits& limits,
                   Reservation& reservation, PacketArrayCache* packets = nullptr);

// The text with control characters, backslashes and double quotes escaped,
// so that text from a request cannot forge or break a log line.
std::string escapeForLog(std::string_view text);

// The log line of a call: station, peer, call, rows, milliseconds, status, error.
std::string callLogLine(const Answer& answer, std::string_view peerAddress, std::string_view object,
                        std::string_view method, double milliseconds);

}  // namespace qel::server
