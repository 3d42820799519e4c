#pragma once

#include <string>
#include <string_view>

#include "core/variant.h"
#include "platform/platform.h"

// The maker's support library: small helpers the agent's routines call.
namespace qel::contracts {

// Registry key under HKEY_LOCAL_MACHINE that holds the agent's settings.
inline constexpr std::string_view kOrbelKey =
    "Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel";

// Name of the registry value holding the application server's address.
inline constexpr std::string_view sIPServer = "IPServer";

// Name of the registry value holding the station database's connection string.
inline constexpr std::string_view sStringConexao = "StringConexao";

// True when the text is empty or holds only blanks: callers use it to fall
// back to a default, and a value of blanks is no more usable than none.
bool EmptyString(std::string_view s);

// a when the condition holds, else b.
inline Variant iif(bool condition, const Variant& a, const Variant& b) {
    return condition ? a : b;
}

// Rounds to `decimals` places by the ABNT rule (NBR 5891): a first dropped
// digit below 5 drops, above 5 raises the last kept digit; a 5 followed by
// any non-zero digit raises it; a 5 followed only by zeros raises it only
// when it is odd. The rule works on decimal digits, so the binary input is
// first read as the decimal it stands for at nine places (2.675, stored as
// 2.67499999…, is read as 2.675000000 and rounds to 2.68): money values
// never carry more than nine meaningful places.
double RoundABNT(double value, int decimals);

// Truncates to two decimal places without losing a cent to binary
// representation: 9.999 gives 9.99, 0.29 stays 0.29 (the input is read as
// the decimal it stands for at nine places before digits are cut).
double Trunc2(double value);

// The station database's OLE DB connection string, from the registry value
// `sStringConexao` (the configuration file on POSIX). Default: the embedded
// SQLite station database "QELCAIXA" in the executable folder. The result
// always carries "Initial Catalog=" before "Data Source=" (the central
// consumer check edits those two). The argument is unused: always "".
// Throws ConfigError when a configured value lacks either key.
std::string GetStringConexQel(const platform::Platform& platform, std::string_view unused);

}  // namespace qel::contracts
