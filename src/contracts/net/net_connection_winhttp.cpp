// The remote connection's HTTP I/O over WinHTTP: the Windows station's own
// HTTP stack, so HTTPS trusts the machine's certificate store and the
// requests follow the proxy the store's IT configured (netsh winhttp).
#include <windows.h>
#include <winhttp.h>

#include "contracts/net/http_transport.h"
#include "core/error.h"
#include "platform/windows/win_text.h"
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

class WinHttpTransport : public HttpTransport {
  public:
    InternetHandle session;
    InternetHandle connection;
    bool https = false;
    std::wstring authorization;

    int health(const std::string& failure) override {
        return static_cast<int>(send(L"GET", "/health", L"", {}, 64 * 1024, failure).status);
    }

    HttpAnswer post(const std::string& path, RequestBody body, std::size_t maxBytes,
                    const std::string& failure) override {
        std::wstring headers =
            L"Content-Type: " + toWide(kMsgpackContentType) + L"\r\nAccept-Encoding: gzip\r\n";
        if (body.gzipped) headers += L"Content-Encoding: gzip\r\n";
        return send(L"POST", path, headers, body.data, maxBytes, failure);
    }

  private:
    // One request; throws ServerError "<failure>: <reason>" when no answer comes.
    HttpAnswer send(const wchar_t* verb, const std::string& path, const std::wstring& headers,
                    const std::string& body, std::size_t maxBytes, const std::string& failure) {
        InternetHandle request(WinHttpOpenRequest(
            connection.handle, verb, toWide(path).c_str(), nullptr, WINHTTP_NO_REFERER,
            WINHTTP_DEFAULT_ACCEPT_TYPES, https ? WINHTTP_FLAG_SECURE : 0));
        if (!request.handle) throw ServerError(failure + ": " + describeLastError());
        const std::wstring allHeaders = headers + authorization;
        if (!WinHttpSendRequest(
                request.handle,
                allHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : allHeaders.c_str(),
                static_cast<DWORD>(allHeaders.size()), const_cast<char*>(body.data()),
                static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
            !WinHttpReceiveResponse(request.handle, nullptr)) {
            throw ServerError(failure + ": " + describeLastError());
        }
        HttpAnswer answer;
        DWORD status = 0;
        DWORD statusSize = sizeof status;
        WinHttpQueryHeaders(request.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                            WINHTTP_NO_HEADER_INDEX);
        answer.status = static_cast<int>(status);
        answer.contentType = fromWide(header(request.handle, WINHTTP_QUERY_CONTENT_TYPE));
        const bool gzipped =
            fromWide(header(request.handle, WINHTTP_QUERY_CONTENT_ENCODING)) == "gzip";
        std::string raw;
        for (;;) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(request.handle, &available)) {
                throw ServerError(failure + ": " + describeLastError());
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
                throw ServerError(failure + ": " + describeLastError());
            }
            raw.resize(at + read);
        }
        if (!gzipped) {
            answer.body = std::move(raw);
            return answer;
        }
        try {
            answer.body = protocol::gzipDecompress(
                {reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size()}, maxBytes);
        } catch (const protocol::GzipTooLarge&) {
            answer.tooLarge = true;
        } catch (const Error&) {
            throw ServerError(failure + ": could not decompress the answer");
        }
        return answer;
    }
};

}  // namespace

std::unique_ptr<HttpTransport> connectTransport(const std::string& host, int port,
                                                const ConnectionSettings& settings,
                                                const std::string& where) {
    auto transport = std::make_unique<WinHttpTransport>();
    transport->https = settings.https;
    // The proxy configured for WinHTTP on the machine (netsh winhttp set proxy).
    transport->session.handle = WinHttpOpen(L"QelExp", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!transport->session.handle) {
        throw ServerError("Cannot start WinHTTP: " + describeLastError());
    }
    const int connectMs = timeoutMs(settings.connectTimeout);
    const int readMs = timeoutMs(settings.readTimeout);
    WinHttpSetTimeouts(transport->session.handle, connectMs, connectMs, readMs, readMs);
    transport->connection.handle = WinHttpConnect(transport->session.handle, toWide(host).c_str(),
                                                  static_cast<INTERNET_PORT>(port), 0);
    if (!transport->connection.handle) {
        throw ServerError("Invalid application server address " + where + ": " +
                          describeLastError());
    }
    if (!settings.credential.empty()) {
        transport->authorization =
            L"Authorization: Bearer " + toWide(settings.credential) + L"\r\n";
    }
    // Certificates are verified by WinHTTP against the machine's store; no
    // flag here turns that off.
    return transport;
}

}  // namespace qel::net
