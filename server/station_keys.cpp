#include "station_keys.h"

#include <cctype>

#include "core/text.h"
#include "definitions/schema.h"

namespace qel::server {
namespace {

bool isNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The script without "--" comments, so that commented-out text is never read as DDL.
std::string withoutComments(std::string_view ddl) {
    std::string out;
    out.reserve(ddl.size());
    for (std::size_t i = 0; i < ddl.size(); ++i) {
        if (ddl[i] == '-' && i + 1 < ddl.size() && ddl[i + 1] == '-') {
            while (i < ddl.size() && ddl[i] != '\n') ++i;
        }
        if (i < ddl.size()) out += ddl[i];
    }
    return out;
}

// Splits "a, b ,c" into trimmed upper-case names.
std::vector<std::string> nameList(std::string_view list) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(',', start);
        if (end == std::string_view::npos) end = list.size();
        std::string_view part = list.substr(start, end - start);
        while (!part.empty() && !isNameChar(part.front())) part.remove_prefix(1);
        while (!part.empty() && !isNameChar(part.back())) part.remove_suffix(1);
        if (!part.empty()) out.push_back(text::upper(part));
        start = end + 1;
    }
    return out;
}

// The body of a CREATE TABLE from its opening parenthesis to the matching one.
std::string_view tableBody(std::string_view text, std::size_t open) {
    int depth = 0;
    for (std::size_t i = open; i < text.size(); ++i) {
        if (text[i] == '(') ++depth;
        if (text[i] == ')' && --depth == 0) return text.substr(open + 1, i - open - 1);
    }
    return text.substr(open + 1);
}

std::vector<std::string> keyOf(std::string_view body) {
    const std::string upperBody = text::upper(body);
    const std::size_t at = upperBody.find("PRIMARY KEY");
    if (at == std::string::npos) return {};
    const std::size_t open = upperBody.find_first_not_of(" \t\r\n", at + 11);
    if (open != std::string::npos && upperBody[open] == '(') {
        const std::size_t close = upperBody.find(')', open);
        return nameList(std::string_view(upperBody).substr(open + 1, close - open - 1));
    }
    // A column constraint: the key is the column this definition starts with.
    const std::size_t lineStart = upperBody.find_last_of(",\n", at);
    const std::size_t nameStart =
        upperBody.find_first_not_of(" \t\r\n", lineStart == std::string::npos ? 0 : lineStart + 1);
    std::size_t nameEnd = nameStart;
    while (nameEnd < upperBody.size() && isNameChar(upperBody[nameEnd])) ++nameEnd;
    return {upperBody.substr(nameStart, nameEnd - nameStart)};
}

}  // namespace

PrimaryKeys parsePrimaryKeys(std::string_view ddl) {
    const std::string text = withoutComments(ddl);
    const std::string upperText = text::upper(text);
    PrimaryKeys keys;
    std::size_t pos = 0;
    while ((pos = upperText.find("CREATE TABLE", pos)) != std::string::npos) {
        std::size_t nameStart = upperText.find_first_not_of(" \t\r\n", pos + 12);
        if (upperText.compare(nameStart, 13, "IF NOT EXISTS") == 0) {
            nameStart = upperText.find_first_not_of(" \t\r\n", nameStart + 13);
        }
        std::size_t nameEnd = nameStart;
        while (nameEnd < upperText.size() && isNameChar(upperText[nameEnd])) ++nameEnd;
        const std::size_t open = upperText.find('(', nameEnd);
        if (open == std::string::npos) break;
        const std::string_view body = tableBody(text, open);
        auto key = keyOf(body);
        if (!key.empty()) keys[upperText.substr(nameStart, nameEnd - nameStart)] = std::move(key);
        pos = open + body.size();
    }
    return keys;
}

const PrimaryKeys& stationPrimaryKeys() {
    static const PrimaryKeys keys = parsePrimaryKeys(definitions::stationSchemaSqlite());
    return keys;
}

}  // namespace qel::server
