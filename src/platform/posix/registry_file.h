#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qel::platform::posix {

// The configuration file that stands in for the Windows registry on POSIX.
// It is an INI file whose section names are registry keys:
//
//   [HKEY_LOCAL_MACHINE\Software\MORADEX\Sistemas Integrados Moradex\Orbel]
//   IPServer = 192.0.2.10:211
//   Quoted  = "  value with its blanks  "
//
// Section and value names compare without regard to case, as the registry's
// do; the "HKEY_LOCAL_MACHINE\" prefix may be left out. An unquoted value is
// trimmed; a value in double quotes is taken exactly as written between them.
// Lines starting with '#' or ';' are comments.
//
// Default path: /etc/qelexp/registry.conf; the environment variable
// QELEXP_REGISTRY names another file (tests, several agents on one host).
std::filesystem::path registryFilePath();

// Reads one value; nullopt when the value is missing from its key. The file
// is the machine's whole configuration, so a fault in it is an error that
// names the file and what is wrong: ConfigError when it is missing, a
// folder, unreadable or not text, when a line is neither a [section], a
// comment nor name = value, or when it has no section for the key. A UTF-8
// byte-order mark at its start is skipped.
std::optional<std::string> readRegistryValue(const std::filesystem::path& file,
                                             std::string_view key, std::string_view valueName);

}  // namespace qel::platform::posix
