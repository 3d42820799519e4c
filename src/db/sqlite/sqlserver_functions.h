#pragma once

#include <sqlite3.h>

#include "core/clock.h"

namespace qel::db::sqlite {

// Registers on the connection the SQL Server functions that the SQLite texts
// of the statement definitions use, with SQL Server's semantics. Date-time
// arguments are ISO texts "YYYY-MM-DD HH:MM:SS.fff" (or dd/mm/yyyy texts, or
// day counts); date-time results are ISO texts with milliseconds.
//
//   GETDATE()                 the clock's current local time
//   DATEDIFF(unit, a, b)      boundaries of the unit crossed from a to b
//   DATEADD(unit, n, x)       x moved by n units (a month end is clamped)
//   DATEPART(unit, x)         one part of x as an integer
//       units: 'yy' 'mm' 'dd' 'hh' 'mi' 'ss' 'ms' and SQL Server's synonyms
//   CONVERT_STYLE(x, style)   CONVERT(VARCHAR, x, style) for the styles 103
//                             (DD/MM/YYYY), 108 (HH:MM:SS), 112 (YYYYMMDD),
//                             120 (YYYY-MM-DD HH:MM:SS) and 121 (with .fff)
//   CAST_DATETIME(text)       a text converted to a date-time, as SQL Server
//                             converts a text compared with a date-time
//   ROUND_TRUNC(x, n)         ROUND(x, n, 1): truncated toward zero
//   ROUND_HALF(x, n)          ROUND(x, n) of a decimal: half away from zero
//   LEN(x)                    characters, trailing blanks not counted
//   CHARINDEX(needle, text[, start])  1-based position, 0 when absent
//
// ROUND_TRUNC and ROUND_HALF work on the decimal value the binary number
// stands for (0.29 truncates to 0.29, not 0.28). NULL arguments give NULL.
// REQUIRES: clock outlives the connection.
// Throws qel::DatabaseError when SQLite refuses a registration.
void registerSqlServerFunctions(sqlite3* db, const qel::Clock& clock);

}  // namespace qel::db::sqlite
