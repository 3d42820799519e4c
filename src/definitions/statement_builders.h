#pragma once

// Helpers shared by the files that define the statements of each subsystem.
// Not part of the library's interface.

#include <string>
#include <string_view>
#include <vector>

#include "definitions/statement.h"

namespace qel::definitions::detail {

// Keeps a generated text alive for the life of the process, so that a
// Statement can refer to it through a string_view.
std::string_view persist(std::string text);

// The SQLite text of a SQL Server text that uses only the constructs both
// dialects share plus CONVERT(VARCHAR, x, style), ISNULL and DATEDIFF(mi, ...),
// which become CONVERT_STYLE(x, style), IFNULL and DATEDIFF('mi', ...).
// Throws qel::Error when the text holds a construct that needs a hand-written
// SQLite text ('+' concatenation, TOP, three-argument ROUND, DATEADD, ...).
std::string_view sqliteOf(std::string_view sqlServer);

inline Param text(std::string_view name, int size = 16) {
    return {name, ParamType::String, size};
}
inline Param integer(std::string_view name) {
    return {name, ParamType::Integer, 0};
}
inline Param floating(std::string_view name) {
    return {name, ParamType::Float, 0};
}
inline Param date(std::string_view name) {
    return {name, ParamType::Date, 0};
}
inline Param dateTime(std::string_view name) {
    return {name, ParamType::DateTime, 0};
}

// A statement whose SQLite text is derived with sqliteOf.
inline Statement query(std::string_view name, std::vector<Param> params,
                       std::string_view sqlServer) {
    return {name, StatementKind::Query, std::move(params), sqlServer, sqliteOf(sqlServer)};
}
inline Statement command(std::string_view name, std::vector<Param> params,
                         std::string_view sqlServer) {
    return {name, StatementKind::Command, std::move(params), sqlServer, sqliteOf(sqlServer)};
}
// A statement with a hand-written SQLite text.
inline Statement query(std::string_view name, std::vector<Param> params, std::string_view sqlServer,
                       std::string_view sqlite) {
    return {name, StatementKind::Query, std::move(params), sqlServer, sqlite};
}
inline Statement command(std::string_view name, std::vector<Param> params,
                         std::string_view sqlServer, std::string_view sqlite) {
    return {name, StatementKind::Command, std::move(params), sqlServer, sqlite};
}

// The station identity and the run's filters, as most selections bind them.
inline Param storeParam() {
    return text("P_CDFILIAL");
}
inline Param stationParam() {
    return text("P_CDCAIXA");
}

// Each subsystem appends its statements.
void addSaleSelections(std::vector<Statement>& out);
void addStationSelections(std::vector<Statement>& out);
void addAcknowledgementStatements(std::vector<Statement>& out);
void addCorrectionStatements(std::vector<Statement>& out);
void addCleanupStatements(std::vector<Statement>& out);
void addRunStatements(std::vector<Statement>& out);
void addCentralStatements(std::vector<Statement>& out);
void addReconciliationStatements(std::vector<Statement>& out);

}  // namespace qel::definitions::detail
