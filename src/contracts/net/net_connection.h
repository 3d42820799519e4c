#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "contracts/net/request_body.h"
#include "core/variant.h"

namespace qel::net {

class HttpTransport;

// How a connection reaches the application server beyond its host and port.
struct ConnectionSettings {
    bool https = false;
    std::string caFile;      // PEM file of trusted certificates; empty: the system's
    std::string credential;  // the station's bearer token; empty: none sent
    std::chrono::milliseconds connectTimeout{10'000};
    // Longest wait for an answer: a server that stops answering fails the
    // call after this long instead of holding the export forever.
    std::chrono::milliseconds readTimeout{300'000};
    bool compress = true;  // gzip large request bodies
    std::size_t maxAnswerBytes = 256u * 1024u * 1024u;
};

// A connection to one object of the application server (docs/protocol.md):
// open checks that the server answers, call invokes a method by name.
class TNetConnection {
  public:
    explicit TNetConnection(std::string serverName = {});
    ~TNetConnection();
    TNetConnection(const TNetConnection&) = delete;
    TNetConnection& operator=(const TNetConnection&) = delete;

    std::string ServerName;  // the server object, e.g. "Exp.rdmInsereServidor"
    std::string Host;
    int Port = 211;
    // False: call() hands back the server's envelope as it came, failure
    // included, for CheckResultServ. True: a failure envelope raises in call().
    bool ThrowException = false;
    ConnectionSettings Settings;

    // Run before opening (may set Host, Port and Settings; may throw) and
    // before closing an open connection.
    std::function<void(TNetConnection&)> BeforeConnect;
    std::function<void(TNetConnection&)> BeforeDisconnect;
    // Runs before every call with the method's name; empty unless a test
    // injects faults (it throws to make the call fail).
    std::function<void(std::string_view method)> BeforeCall;

    // Runs BeforeConnect, then connects and asks the server for its health.
    // Throws ServerError when the server cannot be reached, refuses the
    // credential or is not healthy; the connection then stays closed.
    void open();
    // Runs BeforeDisconnect and disconnects when open; nothing otherwise.
    void close();
    bool connected() const { return connected_; }

    // Calls a method of ServerName with the arguments and returns the
    // answer. Throws ServerError when not connected, on a transport failure
    // or time-out, and on an answer that is not valid MessagePack of this
    // protocol or is larger than Settings.maxAnswerBytes.
    Variant call(std::string_view method, const VariantArray& args);
    // The same with `last`, encoded beforehand, as the argument after `args`.
    Variant call(std::string_view method, const VariantArray& args, const EncodedArgument& last);

  private:
    std::string where() const;
    Variant call(std::string_view method, const VariantArray& args, const EncodedArgument* last);

    // The HTTP I/O of the open connection: cpp-httplib on POSIX, WinHTTP
    // on Windows (http_transport.h).
    std::unique_ptr<HttpTransport> transport_;
    bool connected_ = false;
};

}  // namespace qel::net
