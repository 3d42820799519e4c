#pragma once

// The few socket operations the proxy makes, on POSIX sockets.

#include <optional>
#include <string>
#include <string_view>

namespace qel::faults {

// A connected socket, or -1 when the server cannot be reached.
int connectTo(const std::string& host, int port);

// Turns Nagle's algorithm off: calls are small request-answer pairs, and a
// delayed acknowledgement would stall each of them.
void noDelay(int fd);

// Writes all of `data`; false when the peer is gone.
bool sendAll(int fd, std::string_view data);

// Reads bytes from one connection into a buffer, a message at a time.
class SocketReader {
  public:
    explicit SocketReader(int fd) : fd_(fd) {}

    // The next message head up to and including its blank line; nullopt when
    // the connection ends first. Throws HttpError on a head over 64 KiB.
    std::optional<std::string> readHead();
    // Appends exactly `n` more bytes to `out`; false when the connection ends first.
    bool readExactly(std::size_t n, std::string& out);
    // Appends everything up to the end of the connection.
    void readToEnd(std::string& out);
    // Reads more into the buffer; false when the connection has ended.
    bool fill();

    std::string& buffer() { return buffer_; }

  private:
    int fd_;
    std::string buffer_;
};

}  // namespace qel::faults
