#pragma once

// Many simulated stations calling the application servers at once from one
// thread: each station is a small state machine over a non-blocking
// connection, driven by one epoll loop, so a thousand stations cost a
// thousand sockets and no threads. A station's run does what the agent's
// export run does on the wire: connect, GET /health, then per transfer
// setInsereServidor, getMinDTULTATUEXT, getMaxDTULTATUMCLI and
// getVerificaExportacao on the same kept-alive connection, then close.

#include <cstdint>
#include <string>
#include <vector>

#include "recorded_transfers.h"
#include "station_calls.h"

namespace qel::chain {

struct FleetPlan {
    std::vector<int> ports;  // servers on 127.0.0.1; each run connects to one at random
    // 0: every station starts at once and sends all its transfers in one run
    // (the drain after an outage). Otherwise each station runs every
    // `periodSeconds`, one transfer per run, its first run at a random moment
    // of the first period, and starts no run after `durationSeconds`.
    double periodSeconds = 0;
    double durationSeconds = 0;
    // A transfer refused as busy (503) is tried again after the server's
    // Retry-After, one that failed otherwise after `retrySeconds`; after
    // `maxAttempts` failures in a row the station gives up.
    double retrySeconds = 5;
    int maxAttempts = 10;
    double answerTimeoutSeconds = 300;  // the agent's wait for an answer
    std::uint64_t seed = 1;
};

struct StationWork {
    StationId id;
    std::vector<TransferCalls> transfers;  // sent in this order
};

struct FleetResult {
    std::vector<double> transferMs;  // setInsereServidor sent until its verification answered
    std::vector<double> runMs;       // connect until the run's last answer, runs that succeeded
    std::vector<double> syncedAtSeconds;  // per station whose every transfer was confirmed
    std::int64_t transfers = 0;           // confirmed: every row's verdict OK
    std::int64_t rows = 0;                // rows of the confirmed transfers
    std::int64_t runs = 0;
    std::int64_t busy = 0;                  // 503 answers (tried again later)
    std::int64_t errors = 0;                // any other failed call
    std::int64_t refused = 0;               // verdicts other than OK
    std::int64_t gaveUp = 0;                // stations that stopped after maxAttempts failures
    double seconds = 0;                     // from the start until the last run ended
    std::vector<std::string> errorSamples;  // the first few failures, with their station
};

// Runs the stations until each has sent what it has (or, periodic, until the
// duration is over and every run started has ended). Throws Error when the
// event loop itself fails.
FleetResult runFleet(std::vector<StationWork>& stations, const DateCalls& dates,
                     const FleetPlan& plan);

// The latency at quantile q (0..1) of sorted `values`; 0 when empty.
double quantile(const std::vector<double>& sorted, double q);

}  // namespace qel::chain
