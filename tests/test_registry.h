#pragma once

// Points the agent at a test's registry values. The tests write them as a
// registry file ("[section]" and "name = value" lines). On POSIX that file
// is the registry (QELEXP_REGISTRY names it); on Windows its values are
// copied into the real registry under HKEY_LOCAL_MACHINE, the 32-bit view
// the agent reads first. Call useRegistryFile again after rewriting the file.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "platform/windows/win_text.h"
#endif

namespace qel::testing {

#ifdef _WIN32

inline constexpr wchar_t kTestRegistryKey[] =
    L"Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel";

inline void clearRegistryFile() {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kTestRegistryKey, KEY_WOW64_32KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kTestRegistryKey, KEY_WOW64_64KEY, 0);
}

// Every "name = value" line of the file, whatever its section: the tests
// only write the agent's own key.
inline void useRegistryFile(const std::filesystem::path& file) {
    clearRegistryFile();
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestRegistryKey, 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto equals = line.find(" = ");
        if (line.empty() || line.front() == '[' || equals == std::string::npos) continue;
        const std::wstring name = platform::windows::toWide(line.substr(0, equals));
        const std::wstring value = platform::windows::toWide(line.substr(equals + 3));
        RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

#else

inline void useRegistryFile(const std::filesystem::path& file) {
    setenv("QELEXP_REGISTRY", file.c_str(), 1);
}

inline void clearRegistryFile() {
    unsetenv("QELEXP_REGISTRY");
}

#endif

}  // namespace qel::testing
