#pragma once

// The HTTP I/O under TNetConnection, one implementation per platform:
// cpp-httplib + OpenSSL on POSIX (net_connection_httplib.cpp), WinHTTP on
// Windows (net_connection_winhttp.cpp). The connection itself, its checks,
// the call's request and the reading of its answer are shared
// (net_connection.cpp); a transport only moves bytes.

#include <cstddef>
#include <memory>
#include <string>

#include "contracts/net/net_connection.h"
#include "contracts/net/request_body.h"

namespace qel::net {

// The content type of every call and of every answer of this protocol.
inline constexpr const char* kMsgpackContentType = "application/msgpack";

// One answer as it arrived, its body already inflated when it came gzipped.
struct HttpAnswer {
    int status = 0;
    std::string contentType;
    std::string body;
    // The body passed the byte limit: nothing else of the answer counts.
    bool tooLarge = false;
};

class HttpTransport {
  public:
    virtual ~HttpTransport() = default;

    // GET /health and its HTTP status. Throws ServerError
    // "<failure>: <reason>" when no answer comes.
    virtual int health(const std::string& failure) = 0;

    // POSTs `body` to `path` as kMsgpackContentType, accepting a gzip
    // answer; an answer body beyond `maxBytes` comes back as tooLarge.
    // Throws ServerError "<failure>: <reason>" when no answer comes.
    virtual HttpAnswer post(const std::string& path, RequestBody body, std::size_t maxBytes,
                            const std::string& failure) = 0;
};

// The platform's transport to `host`:`port` as `settings` say; `where`
// names the server in messages. Throws ServerError when the address cannot
// be used. Reaches nothing yet: health() is the first request.
std::unique_ptr<HttpTransport> connectTransport(const std::string& host, int port,
                                                const ConnectionSettings& settings,
                                                const std::string& where);

}  // namespace qel::net
