#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "central_store.h"
#include "core/clock.h"
#include "http_server.h"
#include "metrics.h"

namespace qel::server {

struct MonitoringOptions {
    double silentMinutes = 60;  // a station not heard of for longer is marked silent
    int completenessDays = 31;  // days back checked against the stations' summaries
    // Operator tokens for /fleet and /metrics, distinct from the stations'.
    std::vector<std::string> operatorTokens;
    // True when the server has credentials of any kind: the pages then need
    // an operator token (Bearer, or the password of HTTP Basic).
    bool requireOperator = false;
};

// The operator's view of the fleet: GET /fleet (HTML, ?store= for one
// store), GET /metrics (Prometheus text) and GET /operations (the guide),
// computed from the central store on each request, so
// every server over one database shows the same fleet.
class Monitoring {
  public:
    Monitoring(CentralStore& store, const Clock& clock, MonitoringOptions options);

    // Registers the pages and the call counters with the HTTP front.
    void install(HttpServerOptions& http);

    // Where /metrics reads the memory the requests in progress hold.
    void watchMemory(std::function<RequestMemory()> memory);

    // Opens the pages to these tokens from the next request on.
    void replaceOperatorTokens(std::vector<std::string> tokens);

    PageAnswer fleetPage(const PageRequest& request);
    PageAnswer metricsPage(const PageRequest& request);
    // The operations guide the fleet page's "what to check" links point into.
    PageAnswer operationsPage(const PageRequest& request);
    ServerMetrics& counters() { return metrics_; }

  private:
    bool allowed(const PageRequest& request) const;
    static PageAnswer refused();
    std::vector<StationStatus> fleet();

    CentralStore& store_;
    const Clock& clock_;
    MonitoringOptions options_;
    mutable std::mutex tokensMutex_;  // guards options_.operatorTokens
    ServerMetrics metrics_;
    std::function<RequestMemory()> memory_;
};

// The operator credentials file: one token per line; blank lines and lines
// starting with '#' ignored. Throws ConfigError when unreadable or empty.
std::vector<std::string> loadOperatorTokens(const std::filesystem::path& file);

// The token an Authorization header carries: "Bearer <token>", or the
// password of "Basic <base64(user:password)>"; empty when neither.
std::string presentedToken(std::string_view authorization);

}  // namespace qel::server
