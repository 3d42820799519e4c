#pragma once

// The deletion sequence of the local database cleanup, run inside the
// cleanup's transaction by LimpaBaseDeDados.

#include <string>

#include "core/datetime.h"

namespace qel::agent {

class TdtmExportaVenda;

// What one cleanup decided before its transaction began.
struct CleanupPlan {
    DateTime now;                // the cleanup's clock reading (DtAgoraLimpeza)
    DateTime expired;            // now minus the retention (dtAtrasada)
    DateTime expiredYear;        // now minus 365 days (dtAtrasadaAux)
    std::string shopCode;        // the station's shop, for the delivery log
    double deliveryDays = 1;     // days of delivery log kept
    bool oldPeriodFound = true;  // an old exported shift or Z reduction exists
};

// Runs the statements up to the day totals (the consumers are separate),
// each followed by its log line. Statements that fail propagate, except the
// first four, whose errors are ignored as long as the transaction survives.
// REQUIRES: the cleanup's transaction is open on adcCaixa.
void runCleanupSequence(TdtmExportaVenda& dm, const CleanupPlan& plan);

// Deletes the consumers downloaded on line before the cut-off.
void deleteOnlineConsumers(TdtmExportaVenda& dm, DateTime cutOff);

}  // namespace qel::agent
