#pragma once

#include <array>
#include <string_view>

#include "core/dataset.h"
#include "db/connection.h"
#include "export/run_state.h"

namespace qel::agent {

// One entry of the export table list: the selection that fills the packet at
// that position and the table name the run log shows. Entries 25 and 26 have
// no selection: they carry the two last-update dates.
struct ExportTableEntry {
    std::string_view component;
    std::string_view table;
};

inline constexpr std::size_t kExportTableCount = 47;
inline constexpr std::size_t kExtractDateEntry = 25;
inline constexpr std::size_t kCustomerMovementDateEntry = 26;
inline constexpr std::size_t kOperatorLogEntry = 2;      // LOGOPERQEL
inline constexpr std::size_t kSalesEntry = 16;           // VENDA
inline constexpr std::size_t kCommandLogEntry = 44;      // CMD_LOG
inline constexpr std::size_t kCommandItemLogEntry = 45;  // ITCMD_LOG

// `TabelasExportacao`: position i is element i of the packet array.
extern const std::array<ExportTableEntry, kExportTableCount> TabelasExportacao;

// The selection that replaces entry 0 when the store keeps consumer passwords
// centrally.
inline constexpr std::string_view kCentralConsumerSelection = "adqCliCONSCENTRAL";

// Selections that deliver their decimal columns as floating-point fields;
// every other selection delivers fixed-point decimals.
bool deliversFloatingPoint(std::string_view component);

// Turns every fixed-point decimal field of a dataset into a floating-point one.
void decimalsToFloat(Dataset& dataset);

// Parameters of a selection bound from the run values: each parameter the
// statement declares takes the run value of the same name (P_CDFILIAL,
// P_CDCAIXA, P_CDLOJA, P_DTMOVIM, P_NRSEQVENDAINI, P_NRSEQVENDAFIN), all as
// strings. `stationCode` replaces CDCAIXA (the NFC-e counter selection binds
// the station's series code). Throws Error for a parameter that no run value
// supplies.
db::Params selectionParams(const definitions::Statement& statement, const RunValues& run,
                           std::string_view stationCode);

}  // namespace qel::agent
