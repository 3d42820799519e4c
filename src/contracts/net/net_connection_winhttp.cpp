// The remote connection over WinHTTP: the Windows station's own HTTP stack,
// so HTTPS trusts the machine's certificate store and the requests follow
// the proxy the store's IT configured (netsh winhttp). Same contract as the
// cpp-httplib transport of the POSIX build (net_connection.cpp).
#include <windows.h>
#include <winhttp.h>
#include <zlib.h>

#include "contracts/net/net_connection.h"
#include "core/error.h"
#include "platform/windows/win_text.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"

namespace qel::net {
namespace {

using platform::windows::errorMessage;
using platform::windows::fromWide;
using platform::windows::toWide;

struct InternetHandle {
    HINTERNET handle = nullptr;
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET h) : handle(h) {}
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    ~InternetHandle() {
        if (handle) WinHttpCloseHandle(handle);
    }
};

// The failure of the last WinHTTP call in words an operator can act on.
std::string describeLastError() {
    const DWORD code = GetLastError();
    switch (code) {
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return "could not connect (refused or unreachable)";
        case ERROR_WINHTTP_TIMEOUT:
            return "timed out";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return "the server name could not be resolved";
        case ERROR_WINHTTP_CONNECTION_ERROR:
            return "no complete answer (connection lost)";
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
            return "the server's certificate or host name did not verify";
        default:
            return "WinHTTP error " + errorMessage(code);
    }
}

int timeoutMs(std::chrono::milliseconds d) {
    return static_cast<int>(std::min<long long>(d.count(), 0x7FFFFFFF));
}

std::string excerpt(const std::string& body) {
    std::string out;
    for (char c : body.substr(0, 120)) out += (c >= 0x20 && c < 0x7F) ? c : '.';
    return out;
}

std::wstring header(HINTERNET request, DWORD which) {
    DWORD bytes = 0;
    WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return {};
    std::wstring value(bytes / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                             WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    value.resize(bytes / sizeof(wchar_t));
    return value;
}

// Inflates a gzip body; false when it is not gzip or grows beyond `limit`.
bool gunzip(const std::string& packed, std::size_t limit, std::string& out) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = static_cast<uInt>(packed.size());
    char buffer[64 * 1024];
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) break;
        out.append(buffer, sizeof buffer - z.avail_out);
        if (out.size() > limit) status = Z_MEM_ERROR;
    }
    inflateEnd(&z);
    return status == Z_STREAM_END;
}

}  // namespace

class TNetConnection::Session {
  public:
    InternetHandle session;
    InternetHandle connection;
    bool https = false;
    std::wstring authorization;

    struct Answer {
        DWORD status = 0;
        std::string contentType;
        std::string body;
        bool tooLarge = false;
    };

    // One request; throws ServerError with `what` on a transport failure.
    Answer send(const wchar_t* verb, const std::string& path, const std::wstring& headers,
                const std::string& body, std::size_t maxBytes, const std::string& what) {
        InternetHandle request(WinHttpOpenRequest(
            connection.handle, verb, toWide(path).c_str(), nullptr, WINHTTP_NO_REFERER,
            WINHTTP_DEFAULT_ACCEPT_TYPES, https ? WINHTTP_FLAG_SECURE : 0));
        if (!request.handle) throw ServerError(what + ": " + describeLastError());
        const std::wstring allHeaders = headers + authorization;
        if (!WinHttpSendRequest(
                request.handle,
                allHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : allHeaders.c_str(),
                static_cast<DWORD>(allHeaders.size()), const_cast<char*>(body.data()),
                static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
            !WinHttpReceiveResponse(request.handle, nullptr)) {
            throw ServerError(what + ": " + describeLastError());
        }
        Answer answer;
        DWORD statusSize = sizeof answer.status;
        WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &answer.status, &statusSize,
                            WINHTTP_NO_HEADER_INDEX);
        answer.contentType = fromWide(header(request.handle, WINHTTP_QUERY_CONTENT_TYPE));
        const bool gzipped =
            fromWide(header(request.handle, WINHTTP_QUERY_CONTENT_ENCODING)) == "gzip";
        std::string raw;
        for (;;) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(request.handle, &available)) {
                throw ServerError(what + ": " + describeLastError());
            }
            if (available == 0) break;
            if (raw.size() + available > maxBytes) {
                answer.tooLarge = true;
                return answer;
            }
            const std::size_t at = raw.size();
            raw.resize(at + available);
            DWORD read = 0;
            if (!WinHttpReadData(request.handle, raw.data() + at, available, &read)) {
                throw ServerError(what + ": " + describeLastError());
            }
            raw.resize(at + read);
        }
        if (!gzipped) {
            answer.body = std::move(raw);
        } else if (!gunzip(raw, maxBytes, answer.body)) {
            if (answer.body.size() > maxBytes) {
                answer.tooLarge = true;
                return answer;
            }
            throw ServerError(what + ": could not decompress the answer");
        }
        return answer;
    }
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
    auto session = std::make_unique<Session>();
    session->https = Settings.https;
    // The proxy configured for WinHTTP on the machine (netsh winhttp set proxy).
    session->session.handle = WinHttpOpen(L"QelExp", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session->session.handle) {
        throw ServerError("Cannot start WinHTTP: " + describeLastError());
    }
    const int connectMs = timeoutMs(Settings.connectTimeout);
    const int readMs = timeoutMs(Settings.readTimeout);
    WinHttpSetTimeouts(session->session.handle, connectMs, connectMs, readMs, readMs);
    session->connection.handle = WinHttpConnect(session->session.handle, toWide(Host).c_str(),
                                                static_cast<INTERNET_PORT>(Port), 0);
    if (!session->connection.handle) {
        throw ServerError("Invalid application server address " + where() + ": " +
                          describeLastError());
    }
    if (!Settings.credential.empty()) {
        session->authorization = L"Authorization: Bearer " + toWide(Settings.credential) + L"\r\n";
    }
    // Certificates are verified by WinHTTP against the machine's store; no
    // flag here turns that off.
    const auto health = session->send(L"GET", "/health", L"", {}, 64 * 1024,
                                      "Cannot connect to the application server at " + where());
    if (health.status == 401 || health.status == 403) {
        throw ServerError("The application server at " + where() +
                          " refused the station credential (HTTP " + std::to_string(health.status) +
                          ")");
    }
    if (health.status != 200) {
        throw ServerError("The application server at " + where() + " is not available (HTTP " +
                          std::to_string(health.status) + ")");
    }
    session_ = std::move(session);
    connected_ = true;
}

void TNetConnection::close() {
    if (!connected_) return;
    if (BeforeDisconnect) BeforeDisconnect(*this);
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
    const RequestBody request = requestBody(ServerName, method, args, last, Settings.compress);
    std::wstring headers = L"Content-Type: application/msgpack\r\nAccept-Encoding: gzip\r\n";
    if (request.gzipped) headers += L"Content-Encoding: gzip\r\n";
    const std::string& body = request.data;
    const std::string what = ServerName + "." + std::string(method) + " at " + where();
    const auto answer =
        session_->send(L"POST", "/call/" + ServerName + "/" + std::string(method), headers, body,
                       Settings.maxAnswerBytes, "Call " + what + " failed");
    if (answer.tooLarge) {
        throw ServerError("Answer of " + what + " exceeds " +
                          std::to_string(Settings.maxAnswerBytes) + " bytes");
    }
    if (answer.contentType.rfind("application/msgpack", 0) != 0) {
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
