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
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/variant.h"

struct pg_conn;
struct pg_result;

namespace qel::server::pg {

// A PostgreSQL error with its SQLSTATE code ("40P01" deadlock, "40001"
// serialization failure), so that callers can retry what is retryable, and
// whether the connection itself was lost (server restarted, network cut).
class PgError : public DatabaseError {
  public:
    PgError(const std::string& message, std::string sqlstate, bool connectionLost = false)
        : DatabaseError(message), sqlstate_(std::move(sqlstate)), connectionLost_(connectionLost) {}
    const std::string& sqlstate() const { return sqlstate_; }
    bool retryable() const { return sqlstate_ == "40P01" || sqlstate_ == "40001"; }
    bool connectionLost() const { return connectionLost_; }

  private:
    std::string sqlstate_;
    bool connectionLost_;
};

// Type OIDs of the parameters sent in binary form.
enum class Oid : unsigned {
    unknown = 0,
    bytea = 17,
    int8 = 20,
    text = 25,
    float8 = 701,
    byteaArray = 1001,
    textArray = 1009,
    int8Array = 1016,
    float8Array = 1022,
};

// A one-dimensional array parameter in PostgreSQL's binary array format, so
// that one statement carries thousands of rows (unnest) without quoting.
class ArrayBuilder {
  public:
    // `element` is text, bytea, int8 or float8.
    explicit ArrayBuilder(Oid element);
    void text(std::string_view v);
    void bytes(std::span<const std::uint8_t> v);
    void int8(std::int64_t v);
    void float8(double v);
    void null();
    std::size_t size() const { return count_; }
    // The finished array (header with its length).
    std::string take();
    Oid arrayType() const;

  private:
    void be(std::uint64_t v, int bytes);
    Oid element_;
    std::string data_;
    std::size_t count_ = 0;
    bool nulls_ = false;
};

// Rows in COPY's binary format, for COPY ... FROM STDIN (FORMAT binary):
// the fastest way in for rows that are all new.
class CopyBuilder {
  public:
    explicit CopyBuilder(std::size_t expectedBytes = 0);
    void row(int fields);  // starts a row of that many fields
    void text(std::string_view v);
    void bytes(std::span<const std::uint8_t> v);
    void float8(double v);
    // The finished data, with its trailer.
    std::string take();

  private:
    void be(std::uint64_t v, int bytes);
    std::string data_;
};

// A statement parameter: text (also numbers in their text form), binary
// (bytea, or an array from ArrayBuilder), or null.
struct Param {
    std::string owned;  // text, or an owned binary value
    std::span<const std::uint8_t> bytes;
    bool binary = false;
    bool null = false;
    Oid type = Oid::unknown;

    // Text travels NUL-terminated: a text holding a NUL is refused (throws
    // DatabaseError) rather than cut short.
    static Param of(std::string_view v);
    static Param of(double v);
    static Param of(std::int64_t v) { return {std::to_string(v), {}, false, false}; }
    static Param blob(std::span<const std::uint8_t> b) { return {{}, b, true, false, Oid::bytea}; }
    static Param array(ArrayBuilder& a) {
        const Oid type = a.arrayType();
        return {a.take(), {}, true, false, type};
    }
    static Param none() { return {{}, {}, false, true}; }
};

// One statement of a pipeline: `sql` runs as the connection's prepared
// statement of that text when one was prepared, else is parsed anew.
struct Statement {
    const char* sql;
    std::vector<Param> params;
    bool binaryResult = false;
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

// One libpq connection. Not thread-safe: a Pool hands it to one thread at a time.
class Connection {
  public:
    explicit Connection(const std::string& conninfo);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool healthy() const;
    // Parses `sql` once for this session; later statements given the same
    // pointer (a literal of static storage) run it as prepared. Does nothing
    // when it is prepared already.
    void prepare(const char* sql);
    Result exec(const char* sql);
    Result exec(const char* sql, const std::vector<Param>& params, bool binaryResult = false);
    // Sends the statements in one pipeline (one round trip) and answers
    // their results in order. The first failure is thrown once the pipeline
    // is done; what followed it did not run. Callers wrap the statements in
    // BEGIN ... COMMIT when they must apply together.
    std::vector<Result> pipeline(const std::vector<Statement>& statements);
    // Runs `sql` (a COPY ... FROM STDIN) with `data` as its input. Throws
    // PgError when the server refuses a row (SQLSTATE 23505 for a key
    // already stored).
    void copyIn(const char* sql, std::string_view data);

  private:
    Result check(pg_result* r, const char* sql);
    [[noreturn]] void fail(pg_result* r, const char* sql);
    [[noreturn]] void lost(const char* what);
    // The name `sql` was prepared under, or null.
    const char* preparedName(const char* sql) const;
    int send(const Statement& st);
    pg_conn* conn_;
    std::vector<std::pair<const char*, std::string>> prepared_;  // text, name
};

// A bounded set of connections shared by the server's threads. A lease
// whose connection broke is not given back; after a lost connection the idle
// ones, likely cut by the same restart, are dropped too.
class Pool {
  public:
    // `prepare` runs once on every new connection (session set-up).
    Pool(std::string conninfo, int size, std::function<void(Connection&)> prepare);

    class Lease {
      public:
        Lease(Pool& pool, std::unique_ptr<Connection> c) : pool_(&pool), c_(std::move(c)) {}
        Lease(Lease&& o) noexcept : pool_(std::exchange(o.pool_, nullptr)), c_(std::move(o.c_)) {}
        Lease& operator=(Lease&&) = delete;
        ~Lease();
        Connection& operator*() { return *c_; }
        Connection* operator->() { return c_.get(); }
        // Replaces this lease's connection with a new one (after a lost
        // connection) and drops the pool's idle connections. Throws
        // DatabaseError when the server cannot be reached.
        void reconnect();

      private:
        Pool* pool_;
        std::unique_ptr<Connection> c_;
    };
    Lease acquire();

  private:
    void release(std::unique_ptr<Connection> c);
    std::unique_ptr<Connection> connect();
    void dropIdle();

    std::string conninfo_;
    int size_;
    std::function<void(Connection&)> prepare_;
    int open_ = 0;
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace qel::server::pg
