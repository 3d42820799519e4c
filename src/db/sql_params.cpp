#include "db/sql_params.h"

namespace qel::db {
namespace {

bool isNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool isNameChar(char c) {
    return isNameStart(c) || (c >= '0' && c <= '9');
}

// Index just past the quoted section that starts at `i` and ends at `close`
// (a doubled closing character stays inside), or the end of the text.
std::size_t skipQuoted(std::string_view sql, std::size_t i, char close) {
    for (++i; i < sql.size(); ++i) {
        if (sql[i] != close) continue;
        if (i + 1 < sql.size() && sql[i + 1] == close) {
            ++i;
            continue;
        }
        return i + 1;
    }
    return sql.size();
}

}  // namespace

PositionalSql toPositional(std::string_view sql) {
    PositionalSql out;
    out.text.reserve(sql.size());
    std::size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        std::size_t end = i + 1;
        if (c == '\'' || c == '"') {
            end = skipQuoted(sql, i, c);
        } else if (c == '[') {
            end = skipQuoted(sql, i, ']');
        } else if (c == '-' && sql.substr(i, 2) == "--") {
            end = sql.find('\n', i);
            end = end == std::string_view::npos ? sql.size() : end;
        } else if (c == '/' && sql.substr(i, 2) == "/*") {
            end = sql.find("*/", i + 2);
            end = end == std::string_view::npos ? sql.size() : end + 2;
        } else if (c == ':' && i + 1 < sql.size() && sql[i + 1] == ':') {
            end = i + 2;
        } else if (c == ':' && i + 1 < sql.size() && isNameStart(sql[i + 1])) {
            end = i + 2;
            while (end < sql.size() && isNameChar(sql[end])) ++end;
            out.names.emplace_back(sql.substr(i + 1, end - i - 1));
            out.text += '?';
            i = end;
            continue;
        }
        out.text.append(sql.substr(i, end - i));
        i = end;
    }
    return out;
}

}  // namespace qel::db
