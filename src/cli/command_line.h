#pragma once

// The command-line conventions every QelExp executable follows:
//   --help and -h print the usage on stdout and exit 0;
//   --version prints the program name and version and exits 0;
//   --option=value and --option value are the same;
//   an unknown option, a missing or malformed value is a usage error: the
//   message and the usage go to stderr and the exit code is 2.
// Exit codes: 0 success, 1 failure, 2 usage error.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qel::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The project's version, as every executable reports it.
std::string_view version();

// A mistake in how the program was called.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct OptionSpec {
    std::string name;  // with its dashes: "--store"
    bool takesValue = true;
    bool repeatable = false;
};

// The options given on a command line, checked against the specs.
class ParsedOptions {
  public:
    bool has(std::string_view name) const;
    // The last value given; nullopt when the option was not given.
    std::optional<std::string> value(std::string_view name) const;
    std::vector<std::string> values(std::string_view name) const;
    // `fallback` when not given.
    std::string text(std::string_view name, std::string fallback = {}) const;
    // A whole number within [min, max]; UsageError naming the option otherwise.
    std::int64_t integer(std::string_view name, std::int64_t fallback, std::int64_t min,
                         std::int64_t max) const;
    double number(std::string_view name, double fallback, double min, double max) const;

    bool helpAsked = false;
    bool versionAsked = false;

  private:
    friend ParsedOptions parseOptions(int, char**, const std::vector<OptionSpec>&);
    std::map<std::string, std::vector<std::string>, std::less<>> given_;
};

// Parses argv (no positional arguments). Throws UsageError.
ParsedOptions parseOptions(int argc, char** argv, const std::vector<OptionSpec>& specs);

// A whole number in [min, max] from `text`; UsageError naming `what` otherwise.
std::int64_t parseInteger(std::string_view text, std::string_view what, std::int64_t min,
                          std::int64_t max);

// Runs a program's main under the conventions: parses the options, answers
// --help and --version, reports a UsageError (from parsing or from `body`)
// with the usage on stderr and exit code 2. `body` returns the exit code.
int runProgram(std::string_view program, std::string_view usage, int argc, char** argv,
               const std::vector<OptionSpec>& specs,
               const std::function<int(const ParsedOptions&)>& body);

}  // namespace qel::cli
