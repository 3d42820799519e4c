#include "cli/command_line.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qel::cli {

std::string_view version() {
    return QELEXP_VERSION;
}

bool ParsedOptions::has(std::string_view name) const {
    return given_.find(name) != given_.end();
}

std::optional<std::string> ParsedOptions::value(std::string_view name) const {
    const auto it = given_.find(name);
    if (it == given_.end() || it->second.empty()) return std::nullopt;
    return it->second.back();
}

std::vector<std::string> ParsedOptions::values(std::string_view name) const {
    const auto it = given_.find(name);
    return it == given_.end() ? std::vector<std::string>{} : it->second;
}

std::string ParsedOptions::text(std::string_view name, std::string fallback) const {
    return value(name).value_or(std::move(fallback));
}

std::int64_t ParsedOptions::integer(std::string_view name, std::int64_t fallback, std::int64_t min,
                                    std::int64_t max) const {
    const auto given = value(name);
    return given ? parseInteger(*given, name, min, max) : fallback;
}

double ParsedOptions::number(std::string_view name, double fallback, double min, double max) const {
    const auto given = value(name);
    if (!given) return fallback;
    char* end = nullptr;
    const double parsed = std::strtod(given->c_str(), &end);
    if (given->empty() || end != given->c_str() + given->size() || !std::isfinite(parsed) ||
        parsed < min || parsed > max) {
        throw UsageError(std::string(name) + " takes a number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", not '" + *given + "'");
    }
    return parsed;
}

std::int64_t parseInteger(std::string_view text, std::string_view what, std::int64_t min,
                          std::int64_t max) {
    std::int64_t parsed = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || parsed < min ||
        parsed > max) {
        throw UsageError(std::string(what) + " takes a whole number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", not '" + std::string(text) + "'");
    }
    return parsed;
}

ParsedOptions parseOptions(int argc, char** argv, const std::vector<OptionSpec>& specs) {
    ParsedOptions parsed;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            parsed.helpAsked = true;
            continue;
        }
        if (arg == "--version") {
            parsed.versionAsked = true;
            continue;
        }
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        const OptionSpec* spec = nullptr;
        for (const auto& s : specs) {
            if (s.name == arg) spec = &s;
        }
        if (spec == nullptr) {
            throw UsageError(arg.rfind("-", 0) == 0 ? "unknown option " + arg
                                                    : "unexpected argument " + arg);
        }
        std::vector<std::string>& slot = parsed.given_[spec->name];
        if (!slot.empty() && !spec->repeatable) {
            throw UsageError(spec->name + " is given more than once");
        }
        if (!spec->takesValue) {
            if (inlineValue) throw UsageError(spec->name + " takes no value");
            slot.emplace_back();
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) throw UsageError(spec->name + " needs a value");
            inlineValue = argv[++i];
        }
        slot.push_back(*inlineValue);
    }
    return parsed;
}

int runProgram(std::string_view program, std::string_view usage, int argc, char** argv,
               const std::vector<OptionSpec>& specs,
               const std::function<int(const ParsedOptions&)>& body) {
    const std::string name(program);
    try {
        const ParsedOptions options = parseOptions(argc, argv, specs);
        if (options.helpAsked) {
            std::fwrite(usage.data(), 1, usage.size(), stdout);
            return kExitSuccess;
        }
        if (options.versionAsked) {
            std::printf("%s %s\n", name.c_str(), std::string(version()).c_str());
            return kExitSuccess;
        }
        return body(options);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s\n\n", name.c_str(), e.what());
        std::fwrite(usage.data(), 1, usage.size(), stderr);
        return kExitUsage;
    }
}

}  // namespace qel::cli
