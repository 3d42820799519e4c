#pragma once

#include <array>
#include <string_view>
#include <vector>

namespace qel::server {

// Element count of the packet array and of the verification answer.
inline constexpr int kPacketCount = 47;
inline constexpr int kResultCount = 22;
// Elements of the packet array that hold dates instead of packets.
inline constexpr int kExtratoDateIndex = 25;
inline constexpr int kMoviClieDateIndex = 26;

// How a key column is checked on arrival and written into a verdict row.
enum class KeyKind {
    Text,              // any scalar, echoed as sent
    DateTime,          // a Date or DateTime field, echoed as sent
    Date,              // a Date or DateTime field, echoed as a date without time
    Float,             // a numeric field, echoed as a float
    IsoText,           // a date-time echoed as "yyyy-mm-ddThh:nn:ss" (no milliseconds)
    DayMonthYearText,  // a date-time echoed as "dd/mm/yyyy hh:nn:ss"
};

struct KeyColumn {
    std::string_view name;
    KeyKind kind = KeyKind::Text;
};

// Verdict packets whose field list the agent declares in advance.
enum class ResultLayout { Generic, MovBeneficioCtr, TotalDiaCaixa };

// A column of the station table stored under another name in the packet
// (the selection renames it with AS).
struct RenamedColumn {
    std::string_view column;  // as the station table names it
    std::string_view sent;    // as the packet names it
};

// What the server does with one element of the packet array.
struct TableRule {
    std::string_view table;  // central table the rows go to
    // Key columns the agent binds when it flags its rows: the columns of the
    // verdict rows. Empty: the element gets no verdict.
    std::vector<KeyColumn> verdictKeys = {};
    int resultIndex = -1;                       // element of the verification answer; -1: none
    std::vector<std::string_view> echoed = {};  // further columns copied into the verdict
    ResultLayout layout = ResultLayout::Generic;
    // Where the row's local key comes from: the primary key of this station
    // table (empty: `table`), with these columns renamed in the packet...
    std::string_view stationTable = {};
    std::vector<RenamedColumn> renamed = {};
    // ...or, for a selection that is not rows of one table, these columns.
    std::vector<std::string_view> selectionKey = {};
    // The agent sends these rows at every run whatever their state (open
    // orders, the NFC-e counter, blocked products, the day's totals), so a
    // station's later transfers carry keys the store holds already.
    bool resentEveryRun = false;

    // Filled from the station schema: the packet columns that identify a row
    // in its station database, and whether they include CDFILIAL and CDCAIXA
    // (then the row itself names the station whose database it came from).
    std::vector<std::string> rowKey = {};
    bool keyNamesStation = false;
};

// The rule of every element 0..46 (elements 25 and 26 only name their table).
// Throws Error when a station table the rules name has no primary key in the
// station schema.
const std::array<TableRule, kPacketCount>& tableRules();

// Whether rows of this central table are sent again at every run.
bool isResentEveryRun(std::string_view table);

// For each element of the verification answer, the elements it answers, in
// the order their rows appear in it.
const std::array<std::vector<int>, kResultCount>& resultSources();

}  // namespace qel::server
