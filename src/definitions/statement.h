#pragma once

#include <span>
#include <string_view>
#include <vector>

namespace qel::definitions {

// Declared type of a statement parameter. Strings are declared with size 16
// unless the statement says otherwise.
enum class ParamType { String, Integer, Float, Date, DateTime };

struct Param {
    std::string_view name;  // without the leading ':'
    ParamType type = ParamType::String;
    int size = 16;  // declared size of a string parameter
};

// Which kind of component the statement belongs to.
enum class StatementKind { Query, Command };

// One query or command of the data module: its name, its parameters and the
// same statement in the two dialects. The SQL Server text is the one the
// stations run; the SQLite text has the same meaning, parameter names and
// order of rows for the embedded station database.
struct Statement {
    std::string_view name;
    StatementKind kind = StatementKind::Query;
    std::vector<Param> params;
    std::string_view sqlServer;
    std::string_view sqlite;
};

// Every statement of the data module, in no particular order.
std::span<const Statement> allStatements();

// The statement of that component name; throws qel::Error when unknown.
const Statement& statement(std::string_view name);

}  // namespace qel::definitions
