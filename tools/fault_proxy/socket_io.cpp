#include "socket_io.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "http_message.h"

namespace qel::faults {
namespace {

constexpr std::size_t kMaxHead = 64 * 1024;

// A server that neither accepts nor refuses counts as down after this long,
// so that stopping the proxy never waits for the system's own time-out.
constexpr int kConnectTimeoutMs = 5000;

bool connectWithin(int fd, const sockaddr* address, socklen_t size, int timeoutMs) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (::connect(fd, address, size) != 0) {
        if (errno != EINPROGRESS) return false;
        pollfd writable{fd, POLLOUT, 0};
        int n = 0;
        do {
            n = ::poll(&writable, 1, timeoutMs);
        } while (n < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof error;
        if (n <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return false;
        }
    }
    ::fcntl(fd, F_SETFL, flags);
    return true;
}

}  // namespace

void noDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int connectTo(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (!connectWithin(fd, a->ai_addr, a->ai_addrlen, kConnectTimeoutMs)) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd >= 0) noDelay(fd);
    return fd;
}

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool SocketReader::fill() {
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
}

std::optional<std::string> SocketReader::readHead() {
    std::size_t searched = 0;
    for (;;) {
        const auto end = buffer_.find("\r\n\r\n", searched);
        if (end != std::string::npos) {
            std::string head = buffer_.substr(0, end + 4);
            buffer_.erase(0, end + 4);
            return head;
        }
        if (buffer_.size() > kMaxHead) throw HttpError("message head over 64 KiB");
        searched = buffer_.size() < 3 ? 0 : buffer_.size() - 3;
        if (!fill()) return std::nullopt;
    }
}

bool SocketReader::readExactly(std::size_t n, std::string& out) {
    while (buffer_.size() < n) {
        // Large bodies move straight through instead of piling up in the buffer.
        n -= buffer_.size();
        out += buffer_;
        buffer_.clear();
        if (!fill()) return false;
    }
    out.append(buffer_, 0, n);
    buffer_.erase(0, n);
    return true;
}

void SocketReader::readToEnd(std::string& out) {
    while (fill()) {
    }
    out += buffer_;
    buffer_.clear();
}

}  // namespace qel::faults
