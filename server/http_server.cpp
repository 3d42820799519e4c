#include "http_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>

#include "core/error.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"

namespace qel::server {
namespace {

constexpr const char* kContentType = "application/msgpack";

void answer(httplib::Response& res, int status, const Variant& envelope, bool gzip, bool compress) {
    const Bytes body = protocol::encode(envelope);
    res.status = status;
    if (compress && gzip && body.size() >= protocol::kCompressThreshold) {
        const std::string packed = protocol::gzipCompress(body);
        res.set_header("Content-Encoding", "gzip");
        res.set_content(packed, kContentType);
    } else {
        res.set_content(reinterpret_cast<const char*>(body.data()), body.size(), kContentType);
    }
}

bool acceptsGzip(const httplib::Request& req) {
    return req.get_header_value("Accept-Encoding").find("gzip") != std::string::npos;
}

bool isMessagePack(const httplib::Request& req) {
    const std::string type = req.get_header_value("Content-Type");
    return type.rfind("application/msgpack", 0) == 0 || type.rfind("application/x-msgpack", 0) == 0;
}

}  // namespace

HttpServer::HttpServer(ApplicationServer& app, HttpServerOptions options)
    : app_(app), options_(std::move(options)) {
    if (!options_.certFile.empty() || !options_.keyFile.empty()) {
        auto tls = std::make_unique<httplib::SSLServer>(options_.certFile.c_str(),
                                                        options_.keyFile.c_str());
        if (!tls->is_valid()) {
            throw ConfigError("Cannot load the TLS certificate " + options_.certFile + " and key " +
                              options_.keyFile);
        }
        server_ = std::move(tls);
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    const int threads = options_.workerThreads > 0 ? options_.workerThreads : 1;
    server_->new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<std::size_t>(threads));
    };
    // Small request/answer exchanges on kept-alive connections stall for the
    // delayed ACK unless Nagle's algorithm is off.
    server_->set_tcp_nodelay(true);
    server_->set_read_timeout(options_.readTimeoutSeconds, 0);
    server_->set_write_timeout(options_.writeTimeoutSeconds, 0);
    server_->set_keep_alive_timeout(options_.keepAliveSeconds);
    server_->set_keep_alive_max_count(100000);
    // Bytes on the wire; the decoded size is bounded again while reading.
    server_->set_payload_max_length(options_.maxRequestBytes);
    routes();
}

HttpServer::~HttpServer() {
    stop();
}

void HttpServer::routes() {
    auto authorise = [this](const httplib::Request& req, httplib::Response& res,
                            const StationGrant*& grant) {
        grant = nullptr;
        if (!options_.credentials) return true;
        const std::string header = req.get_header_value("Authorization");
        constexpr std::string_view prefix = "Bearer ";
        if (header.size() > prefix.size() && header.compare(0, prefix.size(), prefix) == 0) {
            grant = options_.credentials->find(std::string_view(header).substr(prefix.size()));
        }
        if (grant) return true;
        res.set_header("WWW-Authenticate", "Bearer");
        answer(res, 401, protocol::failureAnswer("Station credential missing or not accepted"),
               false, false);
        return false;
    };

    server_->Get("/health", [authorise](const httplib::Request& req, httplib::Response& res) {
        const StationGrant* grant;
        if (!authorise(req, res, grant)) return;
        res.set_header("X-Qel-Protocol", std::to_string(protocol::kProtocolVersion));
        res.set_content("OK", "text/plain");
    });

    server_->Post(R"(/call/([^/]+)/([^/]+))", [this, authorise](
                                                  const httplib::Request& req,
                                                  httplib::Response& res,
                                                  const httplib::ContentReader& reader) {
        const auto started = std::chrono::steady_clock::now();
        const std::string object = req.matches[1];
        const std::string method = req.matches[2];
        const bool gzip = acceptsGzip(req);
        const bool compress = options_.compressAnswers;
        CallOutcome outcome;
        std::string failure;
        auto refuse = [&](int status, const std::string& message) {
            failure = message;
            answer(res, status, protocol::failureAnswer(message), gzip, compress);
        };
        const StationGrant* grant = nullptr;
        if (!authorise(req, res, grant)) {
            failure = "credential refused";
        } else if (!isMessagePack(req)) {
            refuse(415, "The request body must be application/msgpack");
        } else {
            std::string body;
            bool tooLarge = false;
            const bool complete = reader([&](const char* data, std::size_t n) {
                if (body.size() + n > options_.maxRequestBytes) {
                    tooLarge = true;
                    return false;
                }
                body.append(data, n);
                return true;
            });
            if (tooLarge) {
                refuse(413, "Request larger than the server's limit of " +
                                std::to_string(options_.maxRequestBytes) + " bytes");
            } else if (!complete) {
                refuse(400, "Incomplete request body");
            } else {
                try {
                    protocol::DecodeLimits limits;
                    limits.maxBytes = options_.maxRequestBytes;
                    const protocol::Request request = protocol::decodeRequest(
                        {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}, limits);
                    if (request.object != object || request.method != method) {
                        refuse(400, "The request names " + request.object + "." + request.method +
                                        " but was sent to " + object + "." + method);
                    } else {
                        outcome = app_.call(
                            Caller{req.remote_addr + ":" + std::to_string(req.remote_port), grant},
                            request);
                        answer(res, 200, outcome.answer, gzip, compress);
                        if (const std::string* m = protocol::failureMessage(outcome.answer)) {
                            failure = *m;
                        }
                    }
                } catch (const CallRejected& e) {
                    refuse(e.status(), e.what());
                } catch (const protocol::ProtocolError& e) {
                    refuse(400, e.what());
                }
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (options_.onCall) {
            options_.onCall(CallRecord{method, res.status, !failure.empty(), seconds, &outcome});
        }
        if (options_.log) {
            const double ms = seconds * 1000.0;
            char elapsed[32];
            std::snprintf(elapsed, sizeof elapsed, "%.1f", ms);
            std::string line = "station=" + (outcome.store.empty() ? "-" : outcome.store) + "/" +
                               (outcome.station.empty() ? "-" : outcome.station) +
                               " peer=" + req.remote_addr + " call=" + object + "." + method +
                               " rows=" + std::to_string(outcome.rows) + " ms=" + elapsed +
                               " status=" + std::to_string(res.status);
            if (!failure.empty()) line += " error=\"" + failure + "\"";
            options_.log(line);
        }
    });

    for (const auto& [path, handler] : options_.pages) {
        server_->Get(path, [handler](const httplib::Request& req, httplib::Response& res) {
            const PageAnswer page = handler(PageRequest{req.get_header_value("Authorization")});
            res.status = page.status;
            for (const auto& [name, value] : page.headers) res.set_header(name, value);
            res.set_content(page.body, page.contentType);
        });
    }

    server_->set_exception_handler(
        [this](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string message = "Internal server error";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                message += std::string(": ") + e.what();
            } catch (...) {
            }
            if (options_.log) options_.log("error=\"" + message + "\"");
            answer(res, 500, protocol::failureAnswer(message), false, false);
        });
}

void HttpServer::bind(const std::string& host, int port) {
    if (!server_->bind_to_port(host, port)) {
        throw ConfigError("Cannot listen on " + host + ":" + std::to_string(port));
    }
    port_ = port;
}

int HttpServer::bindToAnyPort(const std::string& host) {
    port_ = server_->bind_to_any_port(host);
    if (port_ <= 0) throw ConfigError("Cannot listen on " + host);
    return port_;
}

void HttpServer::run() {
    server_->listen_after_bind();
}

void HttpServer::start() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([this, done] {
        server_->listen_after_bind();
        *done = true;
    });
    // Serving starts inside the thread; wait until it does so that a first
    // request finds the server accepting.
    while (!server_->is_running() && !*done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void HttpServer::stop() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

}  // namespace qel::server
