#include "test_database.h"

#include <gtest/gtest.h>

#include "db/sqlite/sqlserver_functions.h"
#include "definitions/schema.h"

namespace qel::definitions::testing {

TestDatabase::TestDatabase(const Clock& clock, bool withCentral) {
    EXPECT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    db::sqlite::registerSqlServerFunctions(db_, clock);
    exec(stationSchemaSqlite());
    if (withCentral) {
        exec("ATTACH DATABASE ':memory:' AS CENTRAL");
        // The central script creates its tables in the main schema; run it
        // against the attached one by naming it.
        std::string script(centralSchemaSqlite());
        const std::string create = "CREATE TABLE ";
        for (auto pos = script.find(create); pos != std::string::npos;
             pos = script.find(create, pos + create.size())) {
            script.insert(pos + create.size(), "CENTRAL.");
        }
        exec(script);
    }
}

TestDatabase::~TestDatabase() {
    sqlite3_close(db_);
}

void TestDatabase::exec(std::string_view sql) const {
    char* message = nullptr;
    const std::string text(sql);
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        ADD_FAILURE() << (message ? message : "") << "\nin: " << text;
        sqlite3_free(message);
    }
}

std::string TestDatabase::column(std::string_view sql,
                                 std::initializer_list<Binding> bindings) const {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &statement, nullptr) !=
        SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(db_) << "\nin: " << sql;
        return {};
    }
    for (const auto& binding : bindings) {
        const int index = sqlite3_bind_parameter_index(statement, binding.name);
        if (index == 0) continue;
        if (const auto* text = std::get_if<std::string>(&binding.value)) {
            sqlite3_bind_text(statement, index, text->c_str(), -1, SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(statement, index, std::get<std::int64_t>(binding.value));
        }
    }
    std::string result;
    int rc = 0;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        if (!result.empty()) result += ",";
        const auto* text = sqlite3_column_text(statement, 0);
        result += text ? reinterpret_cast<const char*>(text) : "NULL";
    }
    if (rc != SQLITE_DONE) ADD_FAILURE() << sqlite3_errmsg(db_) << "\nin: " << sql;
    sqlite3_finalize(statement);
    return result;
}

std::string TestDatabase::prepareError(std::string_view sql) const {
    sqlite3_stmt* statement = nullptr;
    const int rc =
        sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &statement, nullptr);
    std::string error = rc == SQLITE_OK ? "" : sqlite3_errmsg(db_);
    sqlite3_finalize(statement);
    return error;
}

}  // namespace qel::definitions::testing
