#include "contracts/connection_string.h"

#include "core/error.h"
#include "core/text.h"

namespace qel::contracts {

ConnectionStringPairs parseConnectionString(std::string_view text) {
    ConnectionStringPairs pairs;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto eq = text.find('=', pos);
        if (eq == std::string_view::npos) {
            if (!text::trim(text.substr(pos)).empty()) {
                throw ConfigError("Malformed connection string near '" +
                                  std::string(text.substr(pos)) + "'");
            }
            break;
        }
        std::string key(text::trim(text.substr(pos, eq - pos)));
        pos = eq + 1;
        while (pos < text.size() && text[pos] == ' ') ++pos;
        std::string value;
        if (pos < text.size() && (text[pos] == '"' || text[pos] == '\'')) {
            const char quote = text[pos];
            const auto close = text.find(quote, pos + 1);
            if (close == std::string_view::npos) {
                throw ConfigError("Unterminated quote in connection string value of " + key);
            }
            value = std::string(text.substr(pos + 1, close - pos - 1));
            pos = close + 1;
            const auto semi = text.find(';', pos);
            pos = semi == std::string_view::npos ? text.size() : semi + 1;
        } else {
            const auto semi = text.find(';', pos);
            const auto end = semi == std::string_view::npos ? text.size() : semi;
            value = std::string(text::trim(text.substr(pos, end - pos)));
            pos = semi == std::string_view::npos ? text.size() : semi + 1;
        }
        if (key.empty()) throw ConfigError("Connection string has a value without a key");
        pairs.emplace_back(std::move(key), std::move(value));
    }
    return pairs;
}

std::string formatConnectionString(const ConnectionStringPairs& pairs) {
    std::string out;
    for (const auto& [key, value] : pairs) {
        if (!out.empty()) out += ';';
        const bool quote = value.find_first_of(";\"'") != std::string::npos ||
                           (!value.empty() && (value.front() == ' ' || value.back() == ' '));
        out += key + "=" +
               (quote ? (value.find('"') == std::string::npos ? "\"" + value + "\""
                                                              : "'" + value + "'")
                      : value);
    }
    return out;
}

std::string connectionStringValue(const ConnectionStringPairs& pairs, std::string_view key) {
    for (const auto& [k, v] : pairs) {
        if (text::iequals(k, key)) return v;
    }
    return {};
}

}  // namespace qel::contracts
