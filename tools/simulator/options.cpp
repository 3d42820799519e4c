#include "simulator/options.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "simulator/time_text.h"

namespace qel::simulator {
namespace {

bool parseInt(const std::string& text, std::int64_t& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

bool parseDouble(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && std::isfinite(out);
}

// "--name=value" is the same as "--name value".
std::vector<std::string> splitAssignments(const std::vector<std::string>& arguments) {
    std::vector<std::string> out;
    for (const std::string& arg : arguments) {
        const auto eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            out.push_back(arg.substr(0, eq));
            out.push_back(arg.substr(eq + 1));
        } else {
            out.push_back(arg);
        }
    }
    return out;
}

// Bounds that keep every count within the generator's integers and a fill
// within what a disk holds (about 2 GB per million sales).
constexpr std::int64_t kMaxCount = 1'000'000'000;
constexpr std::int64_t kMaxSalesPerDay = 1'000'000;
constexpr std::int64_t kMaxTotalSales = 100'000'000;

std::string padded(int number, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*d", width, number);
    return text;
}

}  // namespace

std::string storeCode(int number) {
    return padded(number, 4);
}
std::string stationCode(int number) {
    return padded(number, 3);
}

std::string usageText() {
    return R"(Usage: qelexp-simulator --db PATH [options]

Creates a station database from the station schema (when the file is missing) and fills it
with deterministic point-of-sale data: shifts, sales in every export state with their items,
taxes, payments and customer movements, fiscal reductions, orders, logs and the station
parameter tables. With --live it then keeps inserting new sales as a store would.

Options:
  --db PATH               station database file (required)
  --central PATH          also create the store's central database (consumer passwords)
  --stores N              stores 0001..N (default 1)
  --store CODE            one store code; may be repeated (replaces --stores)
  --stations N            stations per store, codes 001..N (default 2)
  --associated N          the last N stations are exported by station 001 (default 0)
  --separate              one database per station, each with its own counters (station
                          001 keeps the stations it exports for): PATH-0001-001.db, ...
  --days N                days of history (default 2; 0: parameter tables only)
  --start-date YYYY-MM-DD first day of history (default: today minus --days)
  --sales-per-day N       sales per station and day (default 100)
  --seed N                random seed; the same seed gives the same data (default 1)
  --exported-fraction F   share of each station's sales already exported (default 0.9)
  --pending N             exactly N pending sales per station (overrides the fraction)
  --no-analyze            skip ANALYZE after the fill
  --quiet                 no progress output
  --live                  after the fill (if any), insert new sales with the real clock
  --rate R                live sales per second, over all stations (default 1)
  --duration S            stop live mode after S seconds (default: until SIGINT/SIGTERM)
  -h, --help              this text
  --version               the program's version
Options take their value as --name VALUE or --name=VALUE. On SIGINT or SIGTERM a fill
stops at the next sale and keeps the whole sales written so far.
Exit codes: 0 done, 1 failure or fill stopped early, 2 usage error.
)";
}

std::string separateDatabasePath(const std::string& dbPath, const std::string& store,
                                 const std::string& station) {
    const std::size_t slash = dbPath.find_last_of("/\\");
    const std::size_t dot = dbPath.rfind('.');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExtension ? dbPath.substr(0, dot) : dbPath;
    const std::string extension = hasExtension ? dbPath.substr(dot) : std::string(".db");
    return stem + "-" + store + "-" + station + extension;
}

ParseResult parseArguments(const std::vector<std::string>& given) {
    const std::vector<std::string> arguments = splitAssignments(given);
    ParseResult result;
    Options& o = result.options;
    bool storesGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= arguments.size()) {
                result.error = "missing value for " + arg;
                return false;
            }
            out = arguments[++i];
            return true;
        };
        auto integer = [&](std::int64_t minimum, std::int64_t& out,
                           std::int64_t maximum = kMaxCount) {
            std::string text;
            if (!value(text)) return false;
            if (!parseInt(text, out) || out < minimum || out > maximum) {
                result.error = arg + " takes a whole number from " + std::to_string(minimum) +
                               " to " + std::to_string(maximum) + ", not '" + text + "'";
                return false;
            }
            return true;
        };
        std::int64_t n = 0;
        std::string text;
        if (arg == "--help" || arg == "-h") {
            result.showHelp = true;
        } else if (arg == "--version") {
            result.showVersion = true;
        } else if (arg == "--db") {
            if (!value(o.dbPath)) return result;
        } else if (arg == "--central") {
            if (!value(o.centralPath)) return result;
        } else if (arg == "--stores") {
            if (!integer(1, n) || n > 9999) {
                if (result.error.empty()) result.error = "invalid value for --stores";
                return result;
            }
            o.stores.clear();
            for (int s = 1; s <= n; ++s) o.stores.push_back(storeCode(s));
        } else if (arg == "--store") {
            if (!value(text)) return result;
            if (text.empty() || text.size() > 4) {
                result.error = "a store code has 1 to 4 characters: " + text;
                return result;
            }
            if (!storesGiven) o.stores.clear();
            storesGiven = true;
            o.stores.push_back(std::string(4 - text.size(), '0') + text);
        } else if (arg == "--stations") {
            if (!integer(1, n) || n > 999) {
                if (result.error.empty()) result.error = "invalid value for --stations";
                return result;
            }
            o.stations = static_cast<int>(n);
        } else if (arg == "--associated") {
            if (!integer(0, n, 998)) return result;
            o.associatedStations = static_cast<int>(n);
        } else if (arg == "--days") {
            if (!integer(0, n) || n > 3650) {
                if (result.error.empty()) result.error = "invalid value for --days";
                return result;
            }
            o.days = static_cast<int>(n);
        } else if (arg == "--start-date") {
            if (!value(o.startDate)) return result;
            if (!parseDay(o.startDate)) {
                result.error = "invalid --start-date (YYYY-MM-DD): " + o.startDate;
                return result;
            }
        } else if (arg == "--sales-per-day") {
            if (!integer(0, n, kMaxSalesPerDay)) return result;
            o.salesPerDay = static_cast<int>(n);
        } else if (arg == "--seed") {
            if (!integer(0, n, INT64_MAX)) return result;
            o.seed = static_cast<std::uint64_t>(n);
        } else if (arg == "--exported-fraction") {
            double f = 0;
            if (!value(text)) return result;
            if (!parseDouble(text, f) || f < 0 || f > 1) {
                result.error = "--exported-fraction must be between 0 and 1: " + text;
                return result;
            }
            o.exportedFraction = f;
        } else if (arg == "--pending") {
            if (!integer(0, n)) return result;
            o.pendingSales = n;
        } else if (arg == "--separate") {
            o.separate = true;
        } else if (arg == "--no-analyze") {
            o.analyze = false;
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--live") {
            o.live = true;
        } else if (arg == "--rate") {
            if (!value(text)) return result;
            if (!parseDouble(text, o.rate) || o.rate <= 0 || o.rate > 10000) {
                result.error =
                    "--rate takes a number of sales per second above 0 and up to "
                    "10000, not '" +
                    text + "'";
                return result;
            }
        } else if (arg == "--duration") {
            if (!value(text)) return result;
            if (!parseDouble(text, o.durationSeconds) || o.durationSeconds < 0 ||
                o.durationSeconds > 31'536'000) {
                result.error = "--duration takes seconds from 0 to 31536000, not '" + text + "'";
                return result;
            }
        } else {
            result.error =
                (arg.rfind("-", 0) == 0 ? "unknown option " : "unexpected argument ") + arg;
            return result;
        }
    }
    if (!result.showHelp && o.dbPath.empty()) result.error = "--db PATH is required";
    if (o.associatedStations >= o.stations) o.associatedStations = o.stations - 1;
    if (o.separate && o.live && result.error.empty()) {
        result.error = "--separate fills new files; run --live on one of them instead";
    }
    const std::int64_t total = static_cast<std::int64_t>(o.stores.size()) * o.stations * o.days *
                               static_cast<std::int64_t>(o.salesPerDay);
    if (result.error.empty() && total > kMaxTotalSales) {
        result.error = "that is " + std::to_string(total) + " sales; at most " +
                       std::to_string(kMaxTotalSales) + " are written in one fill";
    }
    return result;
}

}  // namespace qel::simulator
