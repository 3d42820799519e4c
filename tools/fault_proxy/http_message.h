#pragma once

// The HTTP/1.1 framing the proxy needs: message heads, how long a body is,
// and the chunked transfer coding.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qel::faults {

// A message that breaks the framing rules; the proxy drops its connection.
class HttpError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct HttpHead {
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> fields;

    // The first field of that name (case-insensitive), without surrounding blanks.
    std::optional<std::string> field(std::string_view name) const;
    // Replaces every field of that name with one holding `value`.
    void setField(std::string_view name, std::string value);
    void removeField(std::string_view name);
    // The head as it travels, blank line included.
    std::string text() const;

    std::string method() const;  // of a request
    int status() const;          // of an answer; 0 when unreadable
};

// `raw` runs up to and including the blank line that ends the head.
HttpHead parseHead(std::string_view raw);  // throws HttpError

struct BodyFraming {
    enum class Kind { None, Length, Chunked, UntilClose };
    Kind kind = Kind::None;
    std::uint64_t length = 0;  // Length only
};
BodyFraming requestFraming(const HttpHead& request);  // throws HttpError
BodyFraming answerFraming(const HttpHead& answer, std::string_view requestMethod);
// Whether the connection may carry another exchange after this message.
bool keepsAlive(const HttpHead& head);

// Finds where a chunked body ends (chunks, last chunk, trailers), resuming
// where the previous call on a longer prefix of the same data stopped.
class ChunkedScanner {
  public:
    // The bytes the whole body takes, or nullopt while `data` holds only a
    // part of it. Throws HttpError when the coding is broken.
    std::optional<std::size_t> scan(std::string_view data);

  private:
    std::size_t pos_ = 0;
    bool inTrailers_ = false;
};

// The payload of a complete chunked body.
std::string dechunk(std::string_view wire);

}  // namespace qel::faults
