#pragma once

// Reconciliation of short days: the server says which days of this station
// it holds short of the station's own summary (getShortDays); the station
// asks it, with the verification the transfer uses, about every sale of
// each such day it still keeps, and marks the ones the server lacks or holds
// differently as waiting, so that the next ordinary export run sends them
// again with all their rows. It never marks a sale the server holds and
// never deletes anything. An opt-in step beside the export run: with the
// registry value ReconcileDays absent or 0 the agent makes no extra call.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/datetime.h"
#include "platform/platform.h"

namespace qel::agent {

class TdtmExportaVenda;

// How many days back the agent asks about (0: reconciliation off).
inline constexpr std::string_view kReconcileDaysValue = "ReconcileDays";
inline constexpr int kReconcileDaysMost = 3660;

// The ReconcileDays value: 0 when absent, blank or 0. Throws ConfigError
// for anything but a whole number from 0 to 3660.
int reconcileDaysSetting(const platform::Platform& platform);

// What was found and done for one short day.
struct ReconciledDay {
    DateTime day;
    // The server's figures; -1 when it did not list the day as short.
    std::int64_t reportedSales = -1, heldSales = -1;
    bool recoverable = true;   // inside the station's retention
    std::int64_t checked = 0;  // the station's sales of the day asked about
    std::int64_t resent = 0;   // of those, now waiting to be sent again
};

struct ReconciliationResult {
    bool succeeded = false;  // false: an error line says why
    int retentionDays = 0;
    std::vector<ReconciledDay> days;
};

// Reconciles the station's short days of the last `days` days (1..3660),
// each in its own transaction. With `onlyDay`, only that day, and it is
// checked even when the server does not list it. Writes one run-log line
// per day; catches its own errors ("ERRO Except ReconciliaDias: ...").
ReconciliationResult ReconciliaDias(TdtmExportaVenda& dm, const std::string& CDFILIAL,
                                    const std::string& CDCAIXA, int days,
                                    std::optional<DateTime> onlyDay = std::nullopt);

// The agent's step after a station's export run: with ReconcileDays set,
// reconciles once per day and station (a reconciliation that failed is
// tried again at the next run). The day of the last one is kept in the run
// log's folder, so a restart of the agent does not repeat it.
void reconcileAfterRun(TdtmExportaVenda& dm, const std::string& CDFILIAL,
                       const std::string& CDCAIXA);

}  // namespace qel::agent
