#pragma once
// A client that speaks raw bytes to the server, to send what the agent never
// would: forged heads, bodies that hide a second request, slow or idle
// connections. Loopback only; every wait is bounded.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/variant.h"
#include "loopback/loopback.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"

namespace qel::testing {

class RawClient {
  public:
    explicit RawClient(int port) {
        fd_ = loopback::connect(port);
        if (fd_ < 0) throw std::runtime_error("connect");
    }
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Sends everything; false when the server has closed the connection.
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // Reads until the server closes the connection or `limit` passes
    // without a byte; `closed` tells which.
    std::string readAll(bool& closed, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::string out;
        closed = false;
        char buffer[65536];
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return out;
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed = true;
                return out;
            }
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

    // Reads answers: waits up to `first` for the first whole answer, then
    // reads on until the server closes or sends nothing for `after`.
    std::string readAnswers(bool& closed,
                            std::chrono::milliseconds first = std::chrono::seconds(20),
                            std::chrono::milliseconds after = std::chrono::milliseconds(300)) {
        std::string out;
        closed = false;
        char buffer[65536];
        const auto deadline = std::chrono::steady_clock::now() + first;
        for (;;) {
            const bool whole = answerComplete(out);
            const auto now = std::chrono::steady_clock::now();
            if (!whole && now >= deadline) return out;
            const auto wait =
                whole ? after
                      : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(wait.count()) + 1) <= 0) {
                if (whole) return out;
                continue;
            }
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed = true;
                return out;
            }
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

    int fd() const { return fd_; }

  private:
    static bool answerComplete(const std::string& s) {
        const std::size_t end = s.find("\r\n\r\n");
        if (end == std::string::npos) return false;
        const std::size_t length = s.find("Content-Length: ");
        const std::size_t n =
            length == std::string::npos || length > end ? 0 : std::stoul(s.substr(length + 16));
        return s.size() >= end + 4 + n;
    }

    int fd_ = -1;
};

// A whole HTTP/1.1 POST of a call with this body.
inline std::string callRequest(std::string_view target, std::string_view body,
                               std::string_view contentType = "application/msgpack",
                               std::string_view extraHeaders = "") {
    return "POST " + std::string(target) +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + std::string(contentType) +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
           std::string(extraHeaders) + "\r\n" + std::string(body);
}

inline std::string bodyOf(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The smallest call that writes to the store (a station's last cleanup),
// for tests about how a request reaches the server rather than what it asks.
inline constexpr const char* kCleanupUrl = "/call/Exp.rdmInsereServidor/setDtUltimaLimpeza";

inline std::string cleanupBody() {
    return bodyOf(protocol::encodeRequest("Exp.rdmInsereServidor", "setDtUltimaLimpeza",
                                          {Variant("0001"), Variant("001")}));
}

// How many answers a byte stream holds, and the first one's status and body.
struct Answers {
    int count = 0;
    int status = 0;
    std::string body;
    std::string head;
};

inline Answers parseAnswers(const std::string& stream) {
    Answers a;
    std::size_t at = 0;
    while ((at = stream.find("HTTP/1.1 ", at)) != std::string::npos) {
        if (a.count++ == 0) {
            a.status = std::stoi(stream.substr(at + 9, 3));
            const std::size_t end = stream.find("\r\n\r\n", at);
            a.head = stream.substr(at, end - at);
            const std::size_t length = a.head.find("Content-Length: ");
            const std::size_t n =
                length == std::string::npos ? 0 : std::stoul(a.head.substr(length + 16));
            a.body = stream.substr(end + 4, n);
        }
        at += 9;
    }
    return a;
}

}  // namespace qel::testing
