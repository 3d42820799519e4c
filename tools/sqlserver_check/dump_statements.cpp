// Prints every statement of the data module as one JSON line per statement:
// {"name": ..., "sql": <the SQL Server text>}, for the dialect check.
#include <cstdio>
#include <string>

#include "definitions/statement.h"

namespace {

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

int main() {
    for (const auto& s : qel::definitions::allStatements()) {
        std::printf("{\"name\":%s,\"sql\":%s}\n", jsonString(s.name).c_str(),
                    jsonString(s.sqlServer).c_str());
    }
    return 0;
}
