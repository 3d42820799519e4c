#pragma once

// The bodies of the calls a station's agent makes for one transfer, encoded
// and compressed as the agent does (one encoding of the packet array for
// both calls that carry it), ready to be sent many times over.

#include <cstdint>
#include <string>
#include <vector>

#include "core/datetime.h"
#include "core/variant.h"
#include "recorded_transfers.h"

namespace qel::chain {

// One call: where it goes and the body as it travels.
struct WireCall {
    std::string path;  // "/call/<object>/<method>"
    std::string body;
    bool gzipped = false;
};

// setInsereServidor and getVerificaExportacao of one transfer.
struct TransferCalls {
    WireCall insert;
    WireCall verify;
    std::int64_t rows = 0;
};

// The two reference-date calls between them, the same for every station.
struct DateCalls {
    WireCall extract;   // getMinDTULTATUEXT
    WireCall customer;  // getMaxDTULTATUMCLI
};

TransferCalls transferCalls(const VariantArray& packets, const StationId& station);
DateCalls dateCalls(DateTime extractDate, DateTime customerDate);

// Every transfer of `recorded`, as station `to` sends it.
std::vector<TransferCalls> stationTransfers(const RecordedTransfers& recorded, const StationId& to,
                                            std::size_t count);

}  // namespace qel::chain
