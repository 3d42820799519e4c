#include "app/pontax_file.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "core/error.h"
#include "core/text.h"
#include "core/variant.h"

namespace qel::app {
namespace {

constexpr std::size_t kMaxDepth = 32;

bool isNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
           c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool validUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra = 0;
        if (c < 0x80) {
            extra = 0;
        } else if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
        } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
            extra = 3;
        } else {
            return false;
        }
        if (s.size() - i - 1 < extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += extra + 1;
    }
    return true;
}

[[noreturn]] void fail(const std::string& why) {
    throw Error("Pontax.cds: " + why);
}

// Replaces the five named entities and numeric character references.
std::string decodeEntities(std::string_view raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            out += raw[i];
            continue;
        }
        const auto semi = raw.find(';', i);
        if (semi == std::string_view::npos || semi - i > 10)
            fail("unterminated character reference");
        const std::string_view name = raw.substr(i + 1, semi - i - 1);
        if (name == "amp") {
            out += '&';
        } else if (name == "lt") {
            out += '<';
        } else if (name == "gt") {
            out += '>';
        } else if (name == "quot") {
            out += '"';
        } else if (name == "apos") {
            out += '\'';
        } else if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            const std::string_view digits = name.substr(hex ? 2 : 1);
            if (digits.empty()) fail("bad character reference");
            std::uint32_t cp = 0;
            for (const char c : digits) {
                const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                              : hex && std::isxdigit(static_cast<unsigned char>(c))
                                  ? (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10)
                                  : -1;
                if (d < 0) fail("bad character reference");
                cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
                if (cp > 0x10FFFF) fail("bad character reference");
            }
            if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) fail("bad character reference");
            qel::text::appendUtf8(out, cp);
        } else {
            fail("unknown entity &" + std::string(name) + ";");
        }
        i = semi;
    }
    return out;
}

struct Tag {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;  // raw values, decoded
    bool selfClosing = false;
    bool closing = false;
};

// A forward-only reader of the XML subset a data packet uses: no recursion,
// so no input can exhaust the stack.
class Reader {
  public:
    explicit Reader(std::string_view s) : s_(s) {}

    bool atEnd() {
        while (pos_ < s_.size() && s_[pos_] != '<') ++pos_;  // character data is ignored
        return pos_ >= s_.size();
    }

    // The next tag; skips declarations, comments and CDATA.
    std::optional<Tag> next() {
        for (;;) {
            if (atEnd()) return std::nullopt;
            if (starts("<?")) {
                pos_ = find("?>") + 2;
            } else if (starts("<!--")) {
                pos_ = find("-->") + 3;
            } else if (starts("<![CDATA[")) {
                pos_ = find("]]>") + 3;
            } else if (starts("<!")) {
                pos_ = find(">") + 1;  // a DOCTYPE: entity definitions are never expanded
            } else {
                return tag();
            }
        }
    }

  private:
    bool starts(std::string_view p) const { return s_.substr(pos_).starts_with(p); }

    std::size_t find(std::string_view what) const {
        const auto at = s_.find(what, pos_);
        if (at == std::string_view::npos) fail("the file is truncated");
        return at;
    }

    void skipBlanks() {
        while (pos_ < s_.size() && isBlank(s_[pos_])) ++pos_;
    }

    char peek() const {
        if (pos_ >= s_.size()) fail("the file is truncated");
        return s_[pos_];
    }

    std::string name() {
        const std::size_t start = pos_;
        while (pos_ < s_.size() && isNameChar(s_[pos_])) ++pos_;
        if (pos_ == start) {
            peek();
            fail("malformed tag at byte " + std::to_string(pos_));
        }
        return std::string(s_.substr(start, pos_ - start));
    }

    Tag tag() {
        Tag t;
        ++pos_;  // '<'
        if (peek() == '/') {
            t.closing = true;
            ++pos_;
        }
        t.name = name();
        for (;;) {
            skipBlanks();
            const char c = peek();
            if (c == '>') {
                ++pos_;
                return t;
            }
            if (c == '/' && !t.closing) {
                ++pos_;
                if (peek() != '>') fail("malformed tag at byte " + std::to_string(pos_));
                ++pos_;
                t.selfClosing = true;
                return t;
            }
            if (t.closing) fail("malformed end tag at byte " + std::to_string(pos_));
            std::string attribute = name();
            skipBlanks();
            if (peek() != '=') fail("attribute without value at byte " + std::to_string(pos_));
            ++pos_;
            skipBlanks();
            const char quote = peek();
            if (quote != '"' && quote != '\'')
                fail("unquoted value at byte " + std::to_string(pos_));
            ++pos_;
            const auto end = s_.find(quote, pos_);
            if (end == std::string_view::npos) fail("the file is truncated");
            const std::string_view raw = s_.substr(pos_, end - pos_);
            if (raw.find('<') != std::string_view::npos) fail("'<' inside a value");
            t.attributes.emplace_back(std::move(attribute), decodeEntities(raw));
            pos_ = end + 1;
        }
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

const std::string* attribute(const Tag& t, std::string_view name) {
    for (const auto& [n, v] : t.attributes) {
        if (text::iequals(n, name)) return &v;
    }
    return nullptr;
}

// Values are UTF-8 when valid as such, else Windows-1252 (the stations'
// ANSI code page, which files without an encoding declaration use).
std::string toUtf8(const std::string& value) {
    return validUtf8(value) ? value : text::cp1252ToUtf8(value);
}

int rowState(const Tag& row) {
    const std::string* state = attribute(row, "RowState");
    if (!state) return 0;
    try {
        return static_cast<int>(Variant(*state).asInteger());
    } catch (const Error&) {
        fail("bad RowState '" + *state + "'");
    }
}

constexpr int kOriginal = 1, kDeleted = 2, kModified = 8;

}  // namespace

PontaxFile PontaxFile::load(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec) fail("cannot read the file: " + ec.message());
    if (size > kMaxSize) fail("the file is too large (" + std::to_string(size) + " bytes)");
    std::ifstream in(file, std::ios::binary);
    if (!in) fail("cannot open the file");
    std::stringstream content;
    content << in.rdbuf();
    return parse(content.str());
}

PontaxFile PontaxFile::parse(std::string_view content) {
    if (content.size() > kMaxSize) fail("the file is too large");
    if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);
    std::size_t lead = 0;
    while (lead < content.size() && isBlank(content[lead])) ++lead;
    if (content.empty() || lead == content.size()) fail("the file is empty");
    if (content[lead] != '<' || content.find('\0') != std::string_view::npos) {
        fail(
            "the file is in the binary client-dataset form, which this agent does not read; "
            "the point-of-sale program must save it in the XML form (DATAPACKET)");
    }

    PontaxFile file;
    Reader reader(content);
    std::vector<std::string> path;  // open elements, upper-cased
    bool rootSeen = false, rootClosed = false;
    std::optional<std::map<std::string, std::string>> candidate;
    int candidateState = 0;
    bool settled = false;

    while (auto tag = reader.next()) {
        if (rootClosed) fail("content after the end of DATAPACKET");
        const std::string name = text::upper(tag->name);
        if (tag->closing) {
            if (path.empty() || path.back() != name) fail("mismatched </" + tag->name + ">");
            path.pop_back();
            if (path.empty()) rootClosed = true;
            continue;
        }
        if (path.empty()) {
            if (rootSeen || name != "DATAPACKET") {
                fail("not a client-dataset XML file (root element <" + tag->name + ">)");
            }
            rootSeen = true;
        }
        const std::size_t depth = path.size();
        if (depth == 3 && name == "FIELD" && path[1] == "METADATA" && path[2] == "FIELDS") {
            const std::string* field = attribute(*tag, "attrname");
            if (!field || field->empty()) fail("a FIELD without attrname");
            file.fields_.push_back(toUtf8(*field));
        } else if (depth == 2 && name == "ROW" && path[1] == "ROWDATA" && !settled) {
            const int state = rowState(*tag);
            std::map<std::string, std::string> values;
            for (const auto& [n, v] : tag->attributes) values.emplace(text::upper(n), toUtf8(v));
            if (candidate && candidateState == kOriginal) {
                // The original of a changed record: its next row is the change.
                if (state & kModified) candidate = std::move(values);
                settled = true;
            } else if (!(state & kDeleted)) {
                candidate = std::move(values);
                candidateState = state;
                settled = state != kOriginal;
            }
        }
        if (!tag->selfClosing) {
            if (path.size() >= kMaxDepth) fail("elements nested too deeply");
            path.push_back(name);
        } else if (path.empty()) {
            rootClosed = true;
        }
    }
    if (!rootSeen) fail("not a client-dataset XML file (no DATAPACKET)");
    if (!rootClosed) fail("the file is truncated");
    if (file.fields_.empty()) fail("the file declares no fields (METADATA/FIELDS)");
    file.first_ = std::move(candidate);
    return file;
}

std::string PontaxFile::text(std::string_view field) const {
    bool declared = false;
    for (const std::string& f : fields_) declared = declared || text::iequals(f, field);
    if (!declared) throw Error("cdsPontax: Field '" + std::string(field) + "' not found");
    if (!first_) return {};
    const auto it = first_->find(text::upper(field));
    return it == first_->end() ? std::string() : it->second;
}

std::int64_t PontaxFile::integer(std::string_view field) const {
    const std::string value = text(field);
    if (value.empty()) return 0;
    return Variant(value).asInteger();
}

}  // namespace qel::app
