#pragma once

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

// The memory a call is expected to hold once decoded, reserved when its head
// arrives: its body plus its decoded values, which real packets of sales
// make about six times their encoded size. Bounded by what the limits let
// the call ever hold and by the whole budget, so a request the server could
// serve alone is never refused for its estimate. A call that turns out
// larger grows its reservation as it decodes.
inline constexpr std::size_t kDecodedPerEncodedByte = 6;
std::size_t expectedCallMemory(std::size_t contentLength, bool gzipped, const CallLimits& limits,
                               std::size_t budgetCapacity);

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
