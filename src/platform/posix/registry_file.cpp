#include "platform/posix/registry_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

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

namespace {

// True when every byte belongs to a well-formed UTF-8 sequence and no control
// character other than tab, CR and LF appears.
bool isText(std::string_view content) {
    for (std::size_t i = 0; i < content.size();) {
        const auto c = static_cast<unsigned char>(content[i]);
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\r' && c != '\n') return false;
            if (c == 0x7F) return false;
            ++i;
            continue;
        }
        const std::size_t length = c >= 0xF0 && c <= 0xF4   ? 4
                                   : c >= 0xE0              ? 3
                                   : c >= 0xC2 && c <= 0xDF ? 2
                                                            : 0;
        if (length == 0 || i + length > content.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(content[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

std::string fileError(const std::filesystem::path& file, const std::string& what) {
    return "Configuration file " + file.string() + ": " + what;
}

// The whole file as text; throws ConfigError naming the file and the fault.
std::string readConfigurationText(const std::filesystem::path& file) {
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (ec || !std::filesystem::exists(status)) {
        throw ConfigError(fileError(file, "does not exist (set QELEXP_REGISTRY or create it)"));
    }
    if (std::filesystem::is_directory(status)) throw ConfigError(fileError(file, "is a folder"));
    std::ifstream in(file, std::ios::binary);
    if (!in) throw ConfigError(fileError(file, "cannot be read: " + errnoMessage(errno)));
    std::ostringstream buffer;
    buffer << in.rdbuf();
    std::string content = buffer.str();
    if (in.bad()) throw ConfigError(fileError(file, "cannot be read: " + errnoMessage(errno)));
    // Windows editors start a UTF-8 file with a byte-order mark.
    if (content.rfind("\xEF\xBB\xBF", 0) == 0) content.erase(0, 3);
    if (!isText(content)) throw ConfigError(fileError(file, "is not a UTF-8 text file"));
    return content;
}

}  // namespace

std::optional<std::string> readRegistryValue(const std::filesystem::path& file,
                                             std::string_view key, std::string_view valueName) {
    const std::string content = readConfigurationText(file);
    const std::string wantedKey = normaliseKey(key);
    bool keyFound = false;
    bool inKey = false;
    std::optional<std::string> found;
    std::size_t lineNumber = 0;
    std::size_t pos = 0;
    while (pos < content.size()) {
        const std::size_t end = std::min(content.find('\n', pos), content.size());
        const std::string_view line(content.data() + pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        const std::string_view l = text::trim(line);
        if (l.empty() || l.front() == '#' || l.front() == ';') continue;
        const auto bad = [&](const std::string& why) {
            return ConfigError(fileError(file, "line " + std::to_string(lineNumber) + ": " + why));
        };
        if (l.front() == '[') {
            const auto close = l.rfind(']');
            if (close == std::string_view::npos) throw bad("a section name without its ']'");
            inKey = normaliseKey(l.substr(1, close - 1)) == wantedKey;
            keyFound = keyFound || inKey;
            continue;
        }
        const auto eq = l.find('=');
        if (eq == std::string_view::npos) {
            throw bad("'" + std::string(l.substr(0, 60)) + "' is not of the form name = value");
        }
        if (text::trim(l.substr(0, eq)).empty()) throw bad("a value without a name");
        if (!inKey || found || !text::iequals(text::trim(l.substr(0, eq)), valueName)) continue;
        std::string_view value = text::trim(l.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        found = std::string(value);
    }
    if (!keyFound) {
        throw ConfigError(fileError(file, "has no section [" + std::string(kLocalMachine) + "\\" +
                                              std::string(text::trim(key)) + "]"));
    }
    return found;
}

}  // namespace qel::platform::posix
