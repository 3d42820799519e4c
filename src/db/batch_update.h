#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel::db {

// An UPDATE whose WHERE clause is a chain of AND terms, some of them
// "COLUMN = :NAME": run once per row of parameters, it can instead run once
// for many rows that differ only in one such term's value, with that term
// read as "COLUMN IN (<list>)". Each row changed by the per-row runs is
// changed by the list form, and no other (see Connection::executeBatch).
struct BatchUpdate {
    std::string head;                   // "UPDATE ... SET ..." before WHERE
    std::vector<std::string> terms;     // the WHERE clause's AND terms, as written
    std::vector<std::string> keyOf;     // per term: NAME of "COLUMN = :NAME", else empty
    std::vector<std::string> columnOf;  // per term: COLUMN of "COLUMN = :NAME", else empty
};

// The shape of `sql` when it is one UPDATE with one top-level WHERE whose
// terms are joined by AND only, without sub-queries (no SELECT or FROM) and
// with at least one "COLUMN = :NAME" term; nothing otherwise.
std::optional<BatchUpdate> parseBatchUpdate(std::string_view sql);

// The statement with term `listTerm` (a "COLUMN = :NAME" term) read as
// "COLUMN IN (SELECT value FROM json_each(:<listParam>))": the parameter
// `listParam` then carries the values as one JSON array.
std::string withListTerm(const BatchUpdate& update, std::size_t listTerm,
                         std::string_view listParam);

// `text` as a JSON string literal (quotes, backslashes and control
// characters escaped; other bytes as they are).
void appendJsonString(std::string& out, std::string_view text);

}  // namespace qel::db
