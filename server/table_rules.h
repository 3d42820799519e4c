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

// What the server does with one element of the packet array.
struct TableRule {
    std::string_view table;                     // central table the rows go to
    std::vector<KeyColumn> keys = {};           // empty: the whole row is its own key
    int resultIndex = -1;                       // element of the verification answer; -1: none
    std::vector<std::string_view> echoed = {};  // further columns copied into the verdict
    ResultLayout layout = ResultLayout::Generic;
};

// The rule of every element 0..46 (elements 25 and 26 only name their table).
const std::array<TableRule, kPacketCount>& tableRules();

// For each element of the verification answer, the packet it answers.
const std::array<int, kResultCount>& resultSources();

}  // namespace qel::server
