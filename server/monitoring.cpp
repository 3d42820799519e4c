#include "monitoring.h"

#include <fstream>

#include "core/error.h"
#include "fleet_page.h"
#include "operations_guide.h"

namespace qel::server {
namespace {

std::string base64Decode(std::string_view in) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    int bits = 0, buffer = 0;
    for (char c : in) {
        if (c == '=') break;
        const int v = value(c);
        if (v < 0) return {};
        buffer = (buffer << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

// Compares without stopping at the first difference, so the time taken
// does not tell how much of a guessed token was right.
bool sameToken(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

std::string presentedToken(std::string_view authorization) {
    constexpr std::string_view bearer = "Bearer ", basic = "Basic ";
    if (authorization.starts_with(bearer)) return std::string(authorization.substr(bearer.size()));
    if (authorization.starts_with(basic)) {
        const std::string pair = base64Decode(authorization.substr(basic.size()));
        const auto colon = pair.find(':');
        if (colon != std::string::npos) return pair.substr(colon + 1);
    }
    return {};
}

std::vector<std::string> loadOperatorTokens(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) throw ConfigError("Cannot read the operator credentials file " + file.string());
    std::vector<std::string> tokens;
    std::string line;
    while (std::getline(in, line)) {
        const auto start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') continue;
        const auto end = line.find_last_not_of(" \t\r");
        tokens.push_back(line.substr(start, end - start + 1));
    }
    if (tokens.empty()) throw ConfigError("No operator token in " + file.string());
    return tokens;
}

Monitoring::Monitoring(CentralStore& store, const Clock& clock, MonitoringOptions options)
    : store_(store), clock_(clock), options_(std::move(options)) {
    if (!options_.operatorTokens.empty()) options_.requireOperator = true;
}

void Monitoring::install(HttpServerOptions& http) {
    http.pages["/fleet"] = [this](const PageRequest& r) { return fleetPage(r); };
    http.pages["/metrics"] = [this](const PageRequest& r) { return metricsPage(r); };
    http.pages["/operations"] = [this](const PageRequest& r) { return operationsPage(r); };
    http.onCall = [this](const CallRecord& c) {
        metrics_.observe(c.method, c.status, c.failed, c.seconds, c.outcome ? c.outcome->stored : 0,
                         c.outcome ? c.outcome->refused : 0);
        if (c.method == "setInsereServidor" && c.outcome && !c.outcome->store.empty()) {
            metrics_.observeTransfer(c.outcome->store, c.outcome->station,
                                     c.failed || c.status != 200);
        }
    };
}

bool Monitoring::allowed(const PageRequest& request) const {
    if (!options_.requireOperator) return true;
    const std::string token = presentedToken(request.authorization);
    if (token.empty()) return false;
    bool found = false;
    std::lock_guard lock(tokensMutex_);
    for (const std::string& t : options_.operatorTokens) found = sameToken(t, token) || found;
    return found;
}

void Monitoring::watchMemory(std::function<RequestMemory()> memory) {
    memory_ = std::move(memory);
}

void Monitoring::replaceOperatorTokens(std::vector<std::string> tokens) {
    std::lock_guard lock(tokensMutex_);
    options_.operatorTokens = std::move(tokens);
}

PageAnswer Monitoring::refused() {
    PageAnswer a;
    a.status = 401;
    a.body = "An operator credential is required (HTTP Basic password or Bearer token).\n";
    a.headers.emplace_back("WWW-Authenticate",
                           "Basic realm=\"QelExp operator\", charset=\"UTF-8\"");
    return a;
}

std::vector<StationStatus> Monitoring::fleet() {
    const DateTime now = clock_.now();
    return store_.fleet(now, now.date().addDays(-options_.completenessDays));
}

PageAnswer Monitoring::fleetPage(const PageRequest& request) {
    if (!allowed(request)) return refused();
    PageAnswer a;
    a.contentType = "text/html; charset=utf-8";
    a.body = renderFleetPage(fleet(), clock_.now(), options_.silentMinutes,
                             storeFromQuery(request.query));
    a.headers = fleetPageSecurityHeaders();
    a.headers.emplace_back("Cache-Control", "no-store");
    return a;
}

PageAnswer Monitoring::operationsPage(const PageRequest& request) {
    if (!allowed(request)) return refused();
    PageAnswer a;
    a.contentType = "text/html; charset=utf-8";
    a.body = renderOperationsGuide();
    return a;
}

PageAnswer Monitoring::metricsPage(const PageRequest& request) {
    if (!allowed(request)) return refused();
    PageAnswer a;
    a.contentType = "text/plain; version=0.0.4; charset=utf-8";
    a.body = metrics_.render(fleet(), clock_.now(), options_.silentMinutes,
                             memory_ ? memory_() : RequestMemory{});
    return a;
}

}  // namespace qel::server
