#pragma once

// Real transfers for the chain load: a simulated station's backlog exported
// by the agent itself, each transfer's packet array kept as the agent built
// it, then told again as any other station of the chain would send it.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/datetime.h"
#include "core/variant.h"

namespace qel::chain {

// A station as its calls and rows name it.
struct StationId {
    std::string store;    // CDFILIAL, 4 characters
    std::string station;  // CDCAIXA, 3 characters
    std::string shop = "01";
};

// Station `index` (0-based) of a chain of ten stations per store: 0001/001,
// 0001/002, ..., 0001/010, 0002/001, ...
StationId chainStation(int index);

// The transfers of one station, in the order its agent sent them.
struct RecordedTransfers {
    StationId station;
    std::vector<VariantArray> packets;  // one 47-element packet array per transfer
    // The reference dates the agent passed to getMinDTULTATUEXT and getMaxDTULTATUMCLI.
    DateTime extractDate;
    DateTime customerDate;
    std::int64_t rows = 0;   // over every transfer and table
    std::int64_t sales = 0;  // rows of VENDA over every transfer
};

// Simulates station 0001/001 with `pendingSales` sales waiting (one day's
// worth, after a day already exported) in `work`, and lets the agent export
// them in transfers of at most `salesPerTransfer` sales to a throw-away
// application server, keeping every transfer's packet array. Stops after
// `maxTransfers` transfers, or once no sale is left to send. Throws Error
// when the agent's transfer fails.
RecordedTransfers recordTransfers(const std::filesystem::path& work, int pendingSales,
                                  int salesPerTransfer, int maxTransfers);

// The packet array as `to` sends it: every store, station and series code
// of `from` in the rows (CDFILIAL, CDCAIXA, CDSERIECX) becomes `to`'s. Other
// values, and packets without those columns, are shared with `packets`.
VariantArray asStation(const VariantArray& packets, const StationId& from, const StationId& to);

}  // namespace qel::chain
