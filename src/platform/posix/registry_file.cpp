#include "platform/posix/registry_file.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "core/error.h"
#include "core/text.h"
#include "platform/platform.h"
#include "platform/posix/system_error.h"

namespace qel::platform::posix {
namespace {

std::string normaliseKey(std::string_view key) {
    std::string k = text::upper(text::trim(key));
    for (char& c : k) {
        if (c == '/') c = '\\';
    }
    const std::string root = std::string(kLocalMachine) + "\\";
    if (k.rfind(root, 0) == 0) k.erase(0, root.size());
    while (!k.empty() && k.back() == '\\') k.pop_back();
    return k;
}

}  // namespace

std::filesystem::path registryFilePath() {
    if (const char* overridePath = std::getenv("QELEXP_REGISTRY"); overridePath && *overridePath) {
        return overridePath;
    }
    return "/etc/qelexp/registry.conf";
}

std::optional<std::string> readRegistryValue(const std::filesystem::path& file,
                                             std::string_view key, std::string_view valueName) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return std::nullopt;
        throw ConfigError("Cannot read " + file.string() + ": " + errnoMessage(error));
    }
    const std::string wantedKey = normaliseKey(key);
    bool inKey = false;
    std::string line;
    while (std::getline(in, line)) {
        std::string_view l = text::trim(line);
        if (l.empty() || l.front() == '#' || l.front() == ';') continue;
        if (l.front() == '[') {
            const auto close = l.rfind(']');
            inKey = close != std::string_view::npos &&
                    normaliseKey(l.substr(1, close - 1)) == wantedKey;
            continue;
        }
        if (!inKey) continue;
        const auto eq = l.find('=');
        if (eq == std::string_view::npos) continue;
        if (!text::iequals(text::trim(l.substr(0, eq)), valueName)) continue;
        std::string_view value = text::trim(l.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        return std::string(value);
    }
    return std::nullopt;
}

}  // namespace qel::platform::posix
