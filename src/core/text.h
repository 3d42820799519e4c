#pragma once

#include <string>
#include <string_view>

namespace qel::text {

// Source texts are UTF-8; the run log is written in Windows-1252. Characters
// that code page cannot hold become '?'. Malformed UTF-8 bytes are taken as
// Windows-1252 already, so no byte is silently dropped.
std::string utf8ToCp1252(std::string_view utf8);
std::string cp1252ToUtf8(std::string_view cp1252);

// Appends the UTF-8 bytes of one Unicode code point.
void appendUtf8(std::string& out, char32_t codePoint);

// ASCII-only case mapping (codes, names, SQL identifiers).
std::string upper(std::string_view s);
bool iequals(std::string_view a, std::string_view b);

// Removes leading and trailing blanks (spaces, tabs, CR, LF).
std::string_view trim(std::string_view s);

}  // namespace qel::text
