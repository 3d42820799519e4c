#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/datetime.h"

namespace qel::agent {

// What one export run of a station came to. The routines of a run catch and
// log their own errors, so that one failure never stops the cycle; this
// record is how a caller (the one-shot driver, the resident agent's summary)
// learns whether the run did what it was meant to without reading the log.
struct RunOutcome {
    enum class Result {
        NotRun,             // no run yet
        NothingToExport,    // the change check found nothing
        Exported,           // the transfers were made
        ServerUnreachable,  // something to send, but no server connection
        Failed,  // the run's own handler caught an error, or the station database was lost
    };

    Result result = Result::NotRun;
    DateTime started;
    DateTime finished;
    int transfers = 0;        // ExportaDados calls
    int failedTransfers = 0;  // transfers during which an error line was written
    std::int64_t rowsSent = 0;
    std::int64_t salesSent = 0;
    std::int64_t rowsConfirmed = 0;  // result rows the server answered "OK"
    std::int64_t rowsRefused = 0;    // result rows with any other answer
    // The last transfer carried sales: a backlog may still hold more.
    bool lastTransferHadSales = false;
    // Every "ERRO Except" line written while the run was under way.
    std::vector<std::string> errors;

    // True when the run did its work and no routine reported an error.
    bool succeeded() const {
        return (result == Result::NothingToExport || result == Result::Exported) &&
               errors.empty() && failedTransfers == 0;
    }
};

// A short English word for the result, for summaries and the status report.
const char* resultName(RunOutcome::Result result);

}  // namespace qel::agent
