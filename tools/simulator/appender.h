#pragma once

// Adds new sales to a station of an existing database, continuing its numbering, its open
// shift and the database-wide sequence numbers. Used by addPendingSales and live mode.

#include <memory>
#include <string>

#include "simulator/generator.h"

namespace qel::simulator::detail {

// Reads the highest sequence numbers in use.
Counters loadCounters(sqlite3* db);

class SaleAppender {
  public:
    SaleAppender(Writer& w, Counters& counters, const std::string& store,
                 const std::string& station, std::uint64_t seed);

    // Writes one new sale closing at `closedAt` (kept after the station's previous sale).
    // The caller owns the transaction. Returns the sale number.
    std::int64_t append(Millis closedAt);

  private:
    Writer& w_;
    Counters& counters_;
    StationState st_;
    Millis lastClosed_ = 0;
    bool shiftReady_ = false;
};

}  // namespace qel::simulator::detail
