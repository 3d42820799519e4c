#pragma once

#include <optional>
#include <string_view>

#include "core/dataset.h"

namespace qel::db {

// The field type, size and scale of a declared column type as the station
// schema writes it: CHAR(n)/VARCHAR(n) strings of size n, INT/SMALLINT/BIGINT
// integers, DECIMAL(p,s)/NUMERIC(p,s) decimals of scale s, MONEY (scale 4),
// FLOAT/REAL/DOUBLE, DATETIME, DATE, BIT/BOOLEAN, BLOB/VARBINARY. Other names
// fall back to the engine's affinity rules (…INT… integer, …CHAR…/TEXT string,
// …REAL…/…FLOA…/…DOUB… float); nullopt when nothing says what the type is.
// The result's name is left empty.
std::optional<FieldDef> fieldFromDeclaredType(std::string_view declared);

// True for the exact text form date-times are stored in:
// "YYYY-MM-DD HH:MM:SS.fff".
bool isStoredDateTime(std::string_view text);

}  // namespace qel::db
