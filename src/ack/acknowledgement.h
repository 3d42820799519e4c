#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "core/dataset.h"
#include "db/connection.h"
#include "definitions/statement.h"

namespace qel::agent {

class TdtmExportaVenda;

// The exact verdict of a result row that the server stored.
inline constexpr std::string_view kVerdictOk = "OK";

// True when the current result row's IDSITUACAO is exactly "OK" (case and
// blanks matter).
bool verdictIsOk(const Dataset& results);

// Parameters of a flag command bound from the current result row: each
// declared parameter P_X takes the field X, converted to the parameter's
// declared type (text, date-time, date without time of day, float, integer).
// A missing field raises an Error naming it, which fails the routine.
db::Params paramsFromRow(const definitions::Statement& command, const Dataset& results);

// The same, except that the parameters present in `given` take those values
// instead of a field of the row (values the routine chooses itself).
db::Params paramsFromRow(const definitions::Statement& command, const Dataset& results,
                         const db::Params& given);

// Runs one acknowledgement routine: `body` inside a transaction on the
// station connection, committed when it returns. Any error rolls the
// transaction back and is written as "ERRO Except <routine>: <message>"; it
// does not leave, so the next routine still runs. True when it committed.
bool runAcknowledgement(TdtmExportaVenda& dm, std::string_view routine,
                        const std::function<void()>& body);

// Inside a routine's transaction, on the embedded station database: runs
// `together` (the routine's commands for all its rows at once, through
// Connection::executeBatch, writing no run-log line) and returns true. When it
// fails, everything it did is undone and false is returned: the caller then
// runs the row-by-row form, which fails at the same row with the same lines
// and message. On other databases returns false without running it.
bool runTogether(TdtmExportaVenda& dm, const std::function<void()>& together);

// Inside the transaction that flags sales: flags the cash movements,
// consumer extracts and NFC-e logs the server stored, as their own routines
// will again. Their selections take them only with a sale still waiting, so
// a sale flagged without them (the agent stopped, or their routine failed,
// in between) would leave them unflagged for good. A table whose flags fail
// is left to its own routine, which reports it. Returns the flag commands of
// the tables whose stored rows were all flagged.
std::vector<std::string_view> flagSaleDependants(TdtmExportaVenda& dm);

// Calls `row` for each row of the result dataset whose verdict is "OK",
// leaving the cursor on that row.
void forEachOkRow(Dataset& results, const std::function<void()>& row);

}  // namespace qel::agent
