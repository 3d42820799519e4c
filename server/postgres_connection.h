#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/variant.h"

struct pg_conn;
struct pg_result;

namespace qel::server::pg {

// A PostgreSQL error with its SQLSTATE code ("40P01" deadlock, "40001"
// serialization failure), so that callers can retry what is retryable.
class PgError : public DatabaseError {
  public:
    PgError(const std::string& message, std::string sqlstate)
        : DatabaseError(message), sqlstate_(std::move(sqlstate)) {}
    const std::string& sqlstate() const { return sqlstate_; }
    bool retryable() const { return sqlstate_ == "40P01" || sqlstate_ == "40001"; }

  private:
    std::string sqlstate_;
};

// A statement parameter: text (also numbers in their text form), binary
// bytea, or null.
struct Param {
    std::string text;
    std::span<const std::uint8_t> bytes;
    bool binary = false;
    bool null = false;

    static Param of(std::string_view v) { return {std::string(v), {}, false, false}; }
    static Param of(double v);
    static Param of(std::int64_t v) { return {std::to_string(v), {}, false, false}; }
    static Param blob(std::span<const std::uint8_t> b) { return {{}, b, true, false}; }
    static Param none() { return {{}, {}, false, true}; }
};

class Result {
  public:
    explicit Result(pg_result* r) : r_(r) {}
    Result(Result&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result();

    int rows() const;
    bool isNull(int row, int col) const;
    std::string text(int row, int col) const;
    std::span<const std::uint8_t> bytes(int row, int col) const;  // binary or text result
    std::int64_t int64(int row, int col) const;                   // text result
    double float8(int row, int col) const;                        // text result
    std::optional<double> optionalFloat8(int row, int col) const;

  private:
    pg_result* r_;
};

// The binary COPY stream of rows for "COPY ... FROM STDIN (FORMAT binary)".
class CopyBuffer {
  public:
    CopyBuffer();
    void row(int fields);
    void text(std::string_view v);
    void bytes(std::span<const std::uint8_t> v);
    void float8(double v);
    void int8(std::int64_t v);
    void int4(std::int32_t v);
    // The finished stream (adds the trailer once).
    const std::string& finish();

  private:
    void be(std::uint64_t v, int bytes);
    std::string data_;
    bool finished_ = false;
};

// One libpq connection. Not thread-safe: a Pool hands it to one thread at a time.
class Connection {
  public:
    explicit Connection(const std::string& conninfo);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool healthy() const;
    Result exec(const char* sql);
    Result exec(const char* sql, const std::vector<Param>& params, bool binaryResult = false);
    void copyIn(const char* copyStatement, const std::string& stream);

  private:
    Result check(pg_result* r, const char* sql);
    pg_conn* conn_;
};

// A bounded set of connections shared by the server's threads; a broken
// connection is replaced on its next lease.
class Pool {
  public:
    // `prepare` runs once on every new connection (session set-up).
    Pool(std::string conninfo, int size, std::function<void(Connection&)> prepare);

    class Lease {
      public:
        Lease(Pool& pool, std::unique_ptr<Connection> c) : pool_(&pool), c_(std::move(c)) {}
        Lease(Lease&&) = default;
        ~Lease();
        Connection& operator*() { return *c_; }
        Connection* operator->() { return c_.get(); }

      private:
        Pool* pool_;
        std::unique_ptr<Connection> c_;
    };
    Lease acquire();

  private:
    void release(std::unique_ptr<Connection> c);

    std::string conninfo_;
    int size_;
    std::function<void(Connection&)> prepare_;
    int open_ = 0;
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace qel::server::pg
