#include "http_message.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace qel::faults {
namespace {

constexpr std::string_view kCrlf = "\r\n";
// A chunk-size line longer than this is not a chunk-size line.
constexpr std::size_t kMaxChunkLine = 4096;
// Larger chunks are refused rather than waited for.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

bool sameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Whether a comma-separated field value lists `token`.
bool listsToken(const std::optional<std::string>& value, std::string_view token) {
    if (!value) return false;
    const std::string text = lower(*value);
    std::string_view rest = text;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        if (trim(rest.substr(0, comma)) == token) return true;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return false;
}

std::uint64_t parseLength(std::string_view text) {
    text = trim(text);
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        throw HttpError("bad Content-Length \"" + std::string(text) + "\"");
    }
    return value;
}

std::size_t parseChunkSize(std::string_view line) {
    line = trim(line.substr(0, line.find(';')));  // chunk extensions are ignored
    std::size_t size = 0;
    const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), size, 16);
    if (line.empty() || ec != std::errc() || end != line.data() + line.size()) {
        throw HttpError("bad chunk size \"" + std::string(line) + "\"");
    }
    if (size > kMaxChunk) throw HttpError("chunk of " + std::to_string(size) + " bytes");
    return size;
}

}  // namespace

std::optional<std::string> HttpHead::field(std::string_view name) const {
    for (const auto& [n, v] : fields) {
        if (sameName(n, name)) return v;
    }
    return std::nullopt;
}

void HttpHead::setField(std::string_view name, std::string value) {
    removeField(name);
    fields.emplace_back(std::string(name), std::move(value));
}

void HttpHead::removeField(std::string_view name) {
    std::erase_if(fields, [&](const auto& f) { return sameName(f.first, name); });
}

std::string HttpHead::text() const {
    std::string out = startLine + "\r\n";
    for (const auto& [n, v] : fields) out += n + ": " + v + "\r\n";
    return out + "\r\n";
}

std::string HttpHead::method() const {
    return startLine.substr(0, startLine.find(' '));
}

int HttpHead::status() const {
    const auto space = startLine.find(' ');
    if (space == std::string::npos) return 0;
    int code = 0;
    const char* begin = startLine.data() + space + 1;
    const char* end = startLine.data() + std::min(startLine.size(), space + 4);
    const auto [stop, ec] = std::from_chars(begin, end, code);
    return ec == std::errc() && stop == end ? code : 0;
}

HttpHead parseHead(std::string_view raw) {
    HttpHead head;
    bool first = true;
    while (!raw.empty()) {
        const auto eol = raw.find(kCrlf);
        if (eol == std::string_view::npos) throw HttpError("head without an end");
        const std::string_view line = raw.substr(0, eol);
        raw.remove_prefix(eol + kCrlf.size());
        if (line.empty()) break;
        if (first) {
            if (line.find(' ') == std::string_view::npos) {
                throw HttpError("bad start line \"" + std::string(line) + "\"");
            }
            head.startLine = line;
            first = false;
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            throw HttpError("bad header line \"" + std::string(line) + "\"");
        }
        head.fields.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
    if (first) throw HttpError("empty head");
    return head;
}

BodyFraming requestFraming(const HttpHead& request) {
    if (listsToken(request.field("Transfer-Encoding"), "chunked")) {
        return {BodyFraming::Kind::Chunked};
    }
    if (const auto length = request.field("Content-Length")) {
        const std::uint64_t n = parseLength(*length);
        return {n == 0 ? BodyFraming::Kind::None : BodyFraming::Kind::Length, n};
    }
    return {};
}

BodyFraming answerFraming(const HttpHead& answer, std::string_view requestMethod) {
    const int status = answer.status();
    if (requestMethod == "HEAD" || (status >= 100 && status < 200) || status == 204 ||
        status == 304) {
        return {};
    }
    if (listsToken(answer.field("Transfer-Encoding"), "chunked")) {
        return {BodyFraming::Kind::Chunked};
    }
    if (const auto length = answer.field("Content-Length")) {
        const std::uint64_t n = parseLength(*length);
        return {n == 0 ? BodyFraming::Kind::None : BodyFraming::Kind::Length, n};
    }
    return {BodyFraming::Kind::UntilClose};
}

bool keepsAlive(const HttpHead& head) {
    const auto connection = head.field("Connection");
    // HTTP/1.0 closes unless asked to keep alive; 1.1 keeps alive unless asked to close.
    const bool http10 = head.startLine.find("HTTP/1.0") != std::string::npos;
    return http10 ? listsToken(connection, "keep-alive") : !listsToken(connection, "close");
}

std::optional<std::size_t> ChunkedScanner::scan(std::string_view data) {
    for (;;) {
        const auto eol = data.find(kCrlf, pos_);
        if (eol == std::string_view::npos) {
            if (data.size() - pos_ > kMaxChunkLine) throw HttpError("chunk line too long");
            return std::nullopt;
        }
        const std::string_view line = data.substr(pos_, eol - pos_);
        if (inTrailers_) {
            pos_ = eol + kCrlf.size();
            if (line.empty()) return pos_;
            continue;
        }
        const std::size_t size = parseChunkSize(line);
        if (size == 0) {
            inTrailers_ = true;
            pos_ = eol + kCrlf.size();
            continue;
        }
        const std::size_t next = eol + kCrlf.size() + size + kCrlf.size();
        if (next > data.size()) return std::nullopt;
        if (data.substr(next - kCrlf.size(), kCrlf.size()) != kCrlf) {
            throw HttpError("chunk without its line end");
        }
        pos_ = next;
    }
}

std::string dechunk(std::string_view wire) {
    std::string payload;
    std::size_t pos = 0;
    for (;;) {
        const auto eol = wire.find(kCrlf, pos);
        if (eol == std::string_view::npos) throw HttpError("truncated chunked body");
        const std::size_t size = parseChunkSize(wire.substr(pos, eol - pos));
        if (size == 0) return payload;
        if (eol + kCrlf.size() + size > wire.size()) throw HttpError("truncated chunk");
        payload.append(wire.substr(eol + kCrlf.size(), size));
        pos = eol + kCrlf.size() + size + kCrlf.size();
    }
}

}  // namespace qel::faults
