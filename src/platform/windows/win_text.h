#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace qel::platform::windows {

// The program's texts are UTF-8; the wide Win32 calls take UTF-16.
std::wstring toWide(std::string_view utf8);
std::string fromWide(std::wstring_view wide);

// The system's message for a GetLastError() code, without the trailing line
// break, followed by the code: "Access is denied. (5)".
std::string errorMessage(DWORD code);

}  // namespace qel::platform::windows
