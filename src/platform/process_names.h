#pragma once

#include <string_view>

namespace qel::platform {

// Whether a running process whose executable is `exePath` (a full path or a
// bare file name) answers to `wanted`: its file-name part or its whole name
// equals `wanted`, compared upper-cased.
bool processNameMatches(std::string_view exePath, std::string_view wanted);

// The file-name part of a path written with '/' or '\'.
std::string_view fileNamePart(std::string_view path);

}  // namespace qel::platform
