#include "contracts/net/net_connection.h"

#include <httplib.h>

#include "core/error.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"

namespace qel::net {
namespace {

constexpr const char* kContentType = "application/msgpack";

template <typename Duration>
void setTimeout(Duration d, const std::function<void(time_t, time_t)>& set) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    set(static_cast<time_t>(us / 1'000'000), static_cast<time_t>(us % 1'000'000));
}

// A short, printable excerpt of a body that is not a protocol answer.
std::string excerpt(const std::string& body) {
    std::string out;
    for (char c : body.substr(0, 120)) out += (c >= 0x20 && c < 0x7F) ? c : '.';
    return out;
}

// The transport failure in words an operator reading the run log can act on.
std::string describe(httplib::Error error) {
    switch (error) {
        case httplib::Error::Connection:
            return "could not connect (refused or unreachable)";
        case httplib::Error::ConnectionTimeout:
            return "connection timed out";
        case httplib::Error::BindIPAddress:
            return "could not bind the local address";
        case httplib::Error::Read:
            return "no complete answer (connection lost or read time-out)";
        case httplib::Error::Write:
            return "could not send the request (connection lost or write time-out)";
        case httplib::Error::Canceled:
            return "transfer cancelled";
        case httplib::Error::SSLConnection:
            return "TLS handshake failed";
        case httplib::Error::SSLLoadingCerts:
            return "could not load the trusted certificates";
        case httplib::Error::SSLServerVerification:
            return "the server's certificate or host name did not verify";
        case httplib::Error::Compression:
            return "could not decompress the answer";
        default:
            return "HTTP client error " + httplib::to_string(error);
    }
}

}  // namespace

class TNetConnection::Session {
  public:
    std::unique_ptr<httplib::Client> client;
};

TNetConnection::TNetConnection(std::string serverName) : ServerName(std::move(serverName)) {}

TNetConnection::~TNetConnection() = default;

std::string TNetConnection::where() const {
    return std::string(Settings.https ? "https://" : "http://") + Host + ":" + std::to_string(Port);
}

void TNetConnection::open() {
    if (connected_) return;
    if (BeforeConnect) BeforeConnect(*this);
    if (Host.empty()) throw ServerError("No application server address configured");
    if (Port <= 0 || Port > 65535) {
        throw ServerError("Invalid application server port " + std::to_string(Port));
    }
    const std::string host = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
    auto client = std::make_unique<httplib::Client>(
        std::string(Settings.https ? "https://" : "http://") + host + ":" + std::to_string(Port));
    if (!client->is_valid()) throw ServerError("Invalid application server address " + where());
    client->set_tcp_nodelay(true);
    client->set_keep_alive(true);
    setTimeout(Settings.connectTimeout,
               [&](time_t s, time_t us) { client->set_connection_timeout(s, us); });
    setTimeout(Settings.readTimeout, [&](time_t s, time_t us) { client->set_read_timeout(s, us); });
    setTimeout(Settings.readTimeout,
               [&](time_t s, time_t us) { client->set_write_timeout(s, us); });
    if (!Settings.credential.empty()) client->set_bearer_token_auth(Settings.credential);
    if (Settings.https) {
        if (!Settings.caFile.empty()) client->set_ca_cert_path(Settings.caFile);
        client->enable_server_certificate_verification(true);
    }
    const httplib::Result res = client->Get("/health");
    if (!res) {
        throw ServerError("Cannot connect to the application server at " + where() + ": " +
                          describe(res.error()));
    }
    if (res->status == 401 || res->status == 403) {
        throw ServerError("The application server at " + where() +
                          " refused the station credential (HTTP " + std::to_string(res->status) +
                          ")");
    }
    if (res->status != 200) {
        throw ServerError("The application server at " + where() + " is not available (HTTP " +
                          std::to_string(res->status) + ")");
    }
    session_ = std::make_unique<Session>();
    session_->client = std::move(client);
    connected_ = true;
}

void TNetConnection::close() {
    if (!connected_) return;
    if (BeforeDisconnect) BeforeDisconnect(*this);
    session_->client->stop();
    session_.reset();
    connected_ = false;
}

Variant TNetConnection::call(std::string_view method, const VariantArray& args) {
    return call(method, args, nullptr);
}

Variant TNetConnection::call(std::string_view method, const VariantArray& args,
                             const EncodedArgument& last) {
    return call(method, args, &last);
}

Variant TNetConnection::call(std::string_view method, const VariantArray& args,
                             const EncodedArgument* last) {
    if (!connected_) {
        throw ServerError("Not connected to the application server (" + ServerName + "." +
                          std::string(method) + ")");
    }
    if (BeforeCall) BeforeCall(method);
    RequestBody body = requestBody(ServerName, method, args, last, Settings.compress);
    httplib::Request req;
    req.method = "POST";
    req.path = "/call/" + ServerName + "/" + std::string(method);
    req.headers.emplace("Accept-Encoding", "gzip");
    req.headers.emplace("Content-Type", kContentType);
    if (body.gzipped) req.headers.emplace("Content-Encoding", "gzip");
    req.body = std::move(body.data);
    std::string answer;
    bool tooLarge = false;
    req.content_receiver = [&](const char* data, std::size_t n, std::uint64_t, std::uint64_t) {
        if (answer.size() + n > Settings.maxAnswerBytes) {
            tooLarge = true;
            return false;
        }
        answer.append(data, n);
        return true;
    };
    const httplib::Result res = session_->client->send(req);
    const std::string what = ServerName + "." + std::string(method) + " at " + where();
    if (tooLarge) {
        throw ServerError("Answer of " + what + " exceeds " +
                          std::to_string(Settings.maxAnswerBytes) + " bytes");
    }
    if (!res) throw ServerError("Call " + what + " failed: " + describe(res.error()));
    const std::string type = res->get_header_value("Content-Type");
    if (type.rfind(kContentType, 0) != 0) {
        throw ServerError("Call " + what + ": HTTP " + std::to_string(res->status) + " " +
                          excerpt(answer));
    }
    protocol::DecodeLimits limits;
    limits.maxBytes = Settings.maxAnswerBytes;
    Variant result;
    try {
        result = protocol::decode(
            {reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()}, limits);
    } catch (const protocol::ProtocolError& e) {
        throw ServerError("Call " + what + " answered garbage: " + e.what());
    }
    if (res->status != 200 && !protocol::isEnvelope(result)) {
        throw ServerError("Call " + what + ": HTTP " + std::to_string(res->status));
    }
    if (ThrowException && protocol::isEnvelope(result)) protocol::unwrapAnswer(result);
    return result;
}

}  // namespace qel::net
