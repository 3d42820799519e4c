#pragma once

#include <string>
#include <string_view>

namespace qel::db::odbc {

// UTF-16 text as the ODBC wide-character functions take and return it
// (SQLWCHAR is 16 bits both on Windows and with unixODBC).
using WideString = std::u16string;

// Malformed UTF-8 bytes are taken as Windows-1252 characters, as the run log does.
WideString toWide(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string toUtf8(std::u16string_view wide);

}  // namespace qel::db::odbc
