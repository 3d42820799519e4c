// The remote connection whatever the platform: its checks, the call's
// request and the reading of its answer. The HTTP I/O is the platform's
// transport (http_transport.h).
#include "contracts/net/net_connection.h"

#include "contracts/net/http_transport.h"
#include "core/error.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"

namespace qel::net {
namespace {

// A short, printable excerpt of a body that is not a protocol answer.
std::string excerpt(const std::string& body) {
    std::string out;
    for (char c : body.substr(0, 120)) out += (c >= 0x20 && c < 0x7F) ? c : '.';
    return out;
}

}  // namespace

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
    std::unique_ptr<HttpTransport> transport = connectTransport(Host, Port, Settings, where());
    const int status = transport->health("Cannot connect to the application server at " + where());
    if (status == 401 || status == 403) {
        throw ServerError("The application server at " + where() +
                          " refused the station credential (HTTP " + std::to_string(status) + ")");
    }
    if (status != 200) {
        throw ServerError("The application server at " + where() + " is not available (HTTP " +
                          std::to_string(status) + ")");
    }
    transport_ = std::move(transport);
    connected_ = true;
}

void TNetConnection::close() {
    if (!connected_) return;
    if (BeforeDisconnect) BeforeDisconnect(*this);
    transport_.reset();
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
    const std::string what = ServerName + "." + std::string(method) + " at " + where();
    const HttpAnswer answer =
        transport_->post("/call/" + ServerName + "/" + std::string(method), std::move(body),
                         Settings.maxAnswerBytes, "Call " + what + " failed");
    if (answer.tooLarge) {
        throw ServerError("Answer of " + what + " exceeds " +
                          std::to_string(Settings.maxAnswerBytes) + " bytes");
    }
    if (answer.contentType.rfind(kMsgpackContentType, 0) != 0) {
        throw ServerError("Call " + what + ": HTTP " + std::to_string(answer.status) + " " +
                          excerpt(answer.body));
    }
    protocol::DecodeLimits limits;
    limits.maxBytes = Settings.maxAnswerBytes;
    Variant result;
    try {
        result = protocol::decode(
            {reinterpret_cast<const std::uint8_t*>(answer.body.data()), answer.body.size()},
            limits);
    } catch (const protocol::ProtocolError& e) {
        throw ServerError("Call " + what + " answered garbage: " + e.what());
    }
    if (answer.status != 200 && !protocol::isEnvelope(result)) {
        throw ServerError("Call " + what + ": HTTP " + std::to_string(answer.status));
    }
    if (ThrowException && protocol::isEnvelope(result)) protocol::unwrapAnswer(result);
    return result;
}

}  // namespace qel::net
