#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <variant>

namespace qel::simulator {

// Fixed-point amounts as the point-of-sale program keeps them: an integer count of the
// smallest unit. Each is written to its DECIMAL column as the nearest double.
struct Cents {
    std::int64_t value = 0;
};  // money, 2 decimals
struct Price {
    std::int64_t value = 0;
};  // unit prices, 3 decimals
struct Quantity {
    std::int64_t value = 0;
};  // quantities, 4 decimals
struct Rate {
    std::int64_t value = 0;
};  // rates and percentages, 4 decimals

struct Null {};

using Value = std::variant<Null, std::int64_t, double, std::string, Cents, Price, Quantity, Rate>;

struct Field {
    const char* column;
    Value value;
};

class DatabaseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Executes SQL without results; throws DatabaseError with SQLite's message.
void execute(sqlite3* db, const std::string& sql);

// Inserts rows through prepared statements kept per table. Every table is always written
// with the same column list, so one statement per table is reused for every row.
class Writer {
  public:
    explicit Writer(sqlite3* db) : db_(db) {}
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void insert(const char* table, std::initializer_list<Field> fields);

    // Number of rows inserted since construction.
    std::int64_t rows() const { return rows_; }
    sqlite3* db() const { return db_; }

  private:
    sqlite3_stmt* statementFor(const char* table, std::initializer_list<Field> fields);

    sqlite3* db_;
    std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
    std::int64_t rows_ = 0;
};

}  // namespace qel::simulator
