#pragma once

#include <functional>
#include <string_view>

#include "core/dataset.h"
#include "db/connection.h"
#include "definitions/statement.h"

namespace qel::agent {

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

}  // namespace qel::agent
