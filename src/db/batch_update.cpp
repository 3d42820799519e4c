#include "db/batch_update.h"

#include <cctype>

#include "core/text.h"

namespace qel::db {
namespace {

bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// A top-level word of the text (outside quotes, comments and parentheses)
// with its position.
struct Word {
    std::size_t at;
    std::string_view text;
};

// The top-level words of `sql`; nothing when the text holds comments or
// unbalanced quotes or parentheses (such texts are left to the per-row form).
std::optional<std::vector<Word>> topLevelWords(std::string_view sql, bool& anywhereSelect) {
    std::vector<Word> words;
    int depth = 0;
    std::size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        if (c == '\'' || c == '"' || c == '[') {
            const char close = c == '[' ? ']' : c;
            std::size_t j = i + 1;
            for (; j < sql.size(); ++j) {
                if (sql[j] != close) continue;
                if (j + 1 < sql.size() && sql[j + 1] == close) {
                    ++j;
                    continue;
                }
                break;
            }
            if (j >= sql.size()) return std::nullopt;
            i = j + 1;
        } else if ((c == '-' && sql.substr(i, 2) == "--") ||
                   (c == '/' && sql.substr(i, 2) == "/*")) {
            return std::nullopt;
        } else if (c == '(') {
            ++depth;
            ++i;
        } else if (c == ')') {
            if (--depth < 0) return std::nullopt;
            ++i;
        } else if (c == ';') {
            return std::nullopt;
        } else if (isWordChar(c) && (i == 0 || (!isWordChar(sql[i - 1]) && sql[i - 1] != ':'))) {
            std::size_t j = i;
            while (j < sql.size() && isWordChar(sql[j])) ++j;
            const std::string_view word = sql.substr(i, j - i);
            if (text::iequals(word, "SELECT") || text::iequals(word, "FROM")) anywhereSelect = true;
            if (depth == 0) words.push_back({i, word});
            i = j;
        } else {
            ++i;
        }
    }
    if (depth != 0) return std::nullopt;
    return words;
}

bool isIdentifier(std::string_view s) {
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0])) != 0) return false;
    for (char c : s) {
        if (!isWordChar(c) && c != '.') return false;
    }
    return true;
}

// "COLUMN = :NAME" split into its column and name; false for any other term.
bool keyTerm(std::string_view term, std::string& column, std::string& name) {
    const std::size_t eq = term.find('=');
    if (eq == std::string_view::npos) return false;
    const std::string_view left = text::trim(term.substr(0, eq));
    const std::string_view right = text::trim(term.substr(eq + 1));
    if (right.size() < 2 || right[0] != ':' || !isIdentifier(right.substr(1))) return false;
    if (!isIdentifier(left) || left.find('.') == 0) return false;
    column = std::string(left);
    name = std::string(right.substr(1));
    return true;
}

}  // namespace

std::optional<BatchUpdate> parseBatchUpdate(std::string_view sql) {
    bool subquery = false;
    const auto words = topLevelWords(sql, subquery);
    if (!words || subquery || words->empty() || !text::iequals(words->front().text, "UPDATE")) {
        return std::nullopt;
    }
    std::optional<std::size_t> where;
    std::vector<std::size_t> ands;
    for (const Word& w : *words) {
        if (text::iequals(w.text, "WHERE")) {
            if (where) return std::nullopt;
            where = w.at;
        } else if (text::iequals(w.text, "OR") || text::iequals(w.text, "RETURNING")) {
            return std::nullopt;
        } else if (text::iequals(w.text, "AND") && where) {
            ands.push_back(w.at);
        }
    }
    if (!where) return std::nullopt;

    BatchUpdate out;
    out.head = std::string(text::trim(sql.substr(0, *where)));
    std::size_t start = *where + 5;  // past "WHERE"
    ands.push_back(sql.size());
    bool anyKey = false;
    for (std::size_t end : ands) {
        const std::string_view term = text::trim(sql.substr(start, end - start));
        if (term.empty()) return std::nullopt;
        std::string column, name;
        const bool key = keyTerm(term, column, name);
        anyKey = anyKey || key;
        out.terms.emplace_back(term);
        out.keyOf.push_back(key ? name : std::string());
        out.columnOf.push_back(key ? column : std::string());
        start = end + 3;  // past "AND"
    }
    if (!anyKey) return std::nullopt;
    return out;
}

std::string withListTerm(const BatchUpdate& update, std::size_t listTerm,
                         std::string_view listParam) {
    std::string sql = update.head + " WHERE ";
    for (std::size_t i = 0; i < update.terms.size(); ++i) {
        if (i > 0) sql += " AND ";
        if (i == listTerm) {
            sql += update.columnOf[i] +
                   " IN (SELECT value FROM json_each(:" + std::string(listParam) + "))";
        } else {
            sql += update.terms[i];
        }
    }
    return sql;
}

void appendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            out += "\\u00";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

}  // namespace qel::db
