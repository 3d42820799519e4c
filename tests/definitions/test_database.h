#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

#include "core/clock.h"

namespace qel::definitions::testing {

// An in-memory station database with the SQL Server functions registered and,
// on request, the central schema attached as CENTRAL.
class TestDatabase {
  public:
    explicit TestDatabase(const Clock& clock, bool withCentral = false);
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    sqlite3* handle() const { return db_; }
    // Runs a script; fails the test on an error.
    void exec(std::string_view sql) const;
    struct Binding {
        const char* name;  // with the leading ':'
        std::variant<std::string, std::int64_t> value;
    };
    // The first column of every row, each as text ("NULL" for null), joined by
    // ","; unbound parameters are NULL.
    std::string column(std::string_view sql, std::initializer_list<Binding> bindings = {}) const;
    // Error message of preparing the statement, empty when it prepares.
    std::string prepareError(std::string_view sql) const;

  private:
    sqlite3* db_ = nullptr;
};

}  // namespace qel::definitions::testing
