// The remote connection's HTTP I/O on POSIX: cpp-httplib, with OpenSSL for
// HTTPS and zlib for gzip answers.
#include <httplib.h>

#include "contracts/net/http_transport.h"
#include "core/error.h"

namespace qel::net {
namespace {

template <typename Duration>
void setTimeout(Duration d, const std::function<void(time_t, time_t)>& set) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
    set(static_cast<time_t>(us / 1'000'000), static_cast<time_t>(us % 1'000'000));
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

class HttplibTransport : public HttpTransport {
  public:
    explicit HttplibTransport(std::unique_ptr<httplib::Client> client)
        : client_(std::move(client)) {}
    ~HttplibTransport() override { client_->stop(); }
    HttplibTransport(const HttplibTransport&) = delete;
    HttplibTransport& operator=(const HttplibTransport&) = delete;

    int health(const std::string& failure) override {
        const httplib::Result res = client_->Get("/health");
        if (!res) throw ServerError(failure + ": " + describe(res.error()));
        return res->status;
    }

    HttpAnswer post(const std::string& path, RequestBody body, std::size_t maxBytes,
                    const std::string& failure) override {
        httplib::Request req;
        req.method = "POST";
        req.path = path;
        req.headers.emplace("Accept-Encoding", "gzip");
        req.headers.emplace("Content-Type", kMsgpackContentType);
        if (body.gzipped) req.headers.emplace("Content-Encoding", "gzip");
        req.body = std::move(body.data);
        HttpAnswer answer;
        req.content_receiver = [&](const char* data, std::size_t n, std::uint64_t, std::uint64_t) {
            if (answer.body.size() + n > maxBytes) {
                answer.tooLarge = true;
                return false;
            }
            answer.body.append(data, n);
            return true;
        };
        const httplib::Result res = client_->send(req);
        if (answer.tooLarge) return answer;
        if (!res) throw ServerError(failure + ": " + describe(res.error()));
        answer.status = res->status;
        answer.contentType = res->get_header_value("Content-Type");
        return answer;
    }

  private:
    std::unique_ptr<httplib::Client> client_;
};

}  // namespace

std::unique_ptr<HttpTransport> connectTransport(const std::string& host, int port,
                                                const ConnectionSettings& settings,
                                                const std::string& where) {
    const std::string bracketed = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    auto client =
        std::make_unique<httplib::Client>(std::string(settings.https ? "https://" : "http://") +
                                          bracketed + ":" + std::to_string(port));
    if (!client->is_valid()) throw ServerError("Invalid application server address " + where);
    client->set_tcp_nodelay(true);
    client->set_keep_alive(true);
    setTimeout(settings.connectTimeout,
               [&](time_t s, time_t us) { client->set_connection_timeout(s, us); });
    setTimeout(settings.readTimeout, [&](time_t s, time_t us) { client->set_read_timeout(s, us); });
    setTimeout(settings.readTimeout,
               [&](time_t s, time_t us) { client->set_write_timeout(s, us); });
    if (!settings.credential.empty()) client->set_bearer_token_auth(settings.credential);
    if (settings.https) {
        if (!settings.caFile.empty()) client->set_ca_cert_path(settings.caFile);
        client->enable_server_certificate_verification(true);
    }
    return std::make_unique<HttplibTransport>(std::move(client));
}

}  // namespace qel::net
