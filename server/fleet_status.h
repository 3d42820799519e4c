#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "central_store.h"

namespace qel::server {

// Rows received and refused by one call, per table, ordered by table name.
struct TableTally {
    std::string table;
    std::int64_t received = 0;
    std::int64_t refused = 0;
};
using TableCounts = std::vector<std::pair<std::string, std::int64_t>>;
// One tally per table named in either list (a table may be named twice).
// `received` counts the rows a call newly stored or changed, not the rows
// it sent, so that a retried call adds nothing.
std::vector<TableTally> tallyCounts(const TableCounts& received, const TableCounts& refused);

// A sum of amounts the stores read in two parts, SUM(amount / 10^9) and
// SUM(amount % 10^9), so that neither overflows in SQL.
inline WideAmount joinAmount(std::int64_t high, std::int64_t low) {
    return WideAmount{high} * 1000000000 + low;
}

// Gathers the rows of the fleet queries, which every store runs in its own
// dialect, into one status per station ordered by store and station.
class FleetBuilder {
  public:
    void activity(std::string store, std::string station, std::optional<DateTime> lastContact,
                  std::optional<DateTime> lastTransfer);
    void cleanup(std::string store, std::string station, DateTime last);
    void tableCount(std::string store, std::string station, std::string table,
                    std::int64_t received, std::int64_t refused);
    // One day with a station summary and the sales held for that day.
    void day(std::string store, std::string station, const DayShortfall& day);
    // A day whose latest shortfall healed; the sales received for found days.
    void healed(std::string store, std::string station, const HealedDay& day);
    void resent(std::string store, std::string station, std::int64_t sales);

    std::vector<StationStatus> take();

  private:
    StationStatus& at(std::string store, std::string station);

    std::map<std::pair<std::string, std::string>, StationStatus> stations_;
};

}  // namespace qel::server
