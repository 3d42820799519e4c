#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "central_store.h"

namespace qel::server {

// Memory the requests in progress hold, against its bound.
struct RequestMemory {
    std::size_t reserved = 0;
    std::size_t budget = 0;  // 0: not reported
};

// Counters of this server process since it started, in the Prometheus text
// format. Each server of several keeps its own; Prometheus sums them.
class ServerMetrics {
  public:
    // Upper bounds of the latency histogram, in seconds.
    static constexpr std::array<double, 12> kBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                        0.1,   0.25,   0.5,   1.0,  2.5,   10.0};

    // One call: the method named in the URL, the HTTP status, its duration,
    // and for transfers the rows stored and refused.
    void observe(std::string_view method, int status, bool failed, double seconds,
                 std::int64_t stored, std::int64_t refused);

    // A transfer (setInsereServidor) that reached a station's rows: counts
    // the station's failed transfers in a row, forgotten at its next success.
    void observeTransfer(std::string_view store, std::string_view station, bool failed);

    // The counters, then the fleet's gauges computed from `fleet`, each
    // station's own, and the memory in use.
    std::string render(const std::vector<StationStatus>& fleet, DateTime now, double silentMinutes,
                       RequestMemory memory = {}) const;

    // Stations whose failed transfers in a row are tracked at most; past it a
    // flood of made-up station names cannot grow the server's memory.
    static constexpr std::size_t kMaxFailingStations = 20000;

  private:
    static constexpr std::array<std::string_view, 11> kMethods = {"setInsereServidor",
                                                                  "getVerificaExportacao",
                                                                  "getMinDTULTATUEXT",
                                                                  "getMaxDTULTATUMCLI",
                                                                  "getLimpezaDiaria",
                                                                  "getLimpezaMensal",
                                                                  "setDtUltimaLimpeza",
                                                                  "setAjusteDiferencas",
                                                                  "setAtualizaPontuacao",
                                                                  "getShortDays",
                                                                  "other"};
    struct MethodCounters {
        std::atomic<std::int64_t> calls{0}, failures{0};
    };
    std::array<MethodCounters, kMethods.size()> methods_;
    std::atomic<std::int64_t> rowsStored_{0}, rowsRefused_{0};
    std::array<std::atomic<std::int64_t>, kBuckets.size() + 1> buckets_{};  // last: +Inf
    std::atomic<std::int64_t> latencyMicros_{0};
    mutable std::mutex failingMutex_;
    std::map<std::pair<std::string, std::string>, std::int64_t> failingInARow_;
};

// A station's state for the fleet: "silent" (no contact for longer than the
// limit), "incomplete" (a day short of its own summary), "surplus" (no day
// short, but one holding more than the station reported), "ok".
std::string_view stationState(const StationStatus& s, DateTime now, double silentMinutes);

}  // namespace qel::server
