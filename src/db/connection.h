#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/dataset.h"
#include "core/variant.h"
#include "definitions/statement.h"

namespace qel::db {

// The SQL dialect a connection speaks; callers pick the statement text by it.
enum class Dialect { SqlServer, Sqlite };

// Named parameter values. Names are given without the leading ':' and match
// case-insensitively. An unassigned or null Variant binds SQL NULL.
class Params {
  public:
    using Entry = std::pair<std::string, Variant>;

    Params() = default;
    Params(std::initializer_list<std::pair<std::string_view, Variant>> values);

    // Sets (or replaces) the value of one parameter.
    Params& set(std::string_view name, Variant value);
    // The value of a parameter, or nullptr when none was given.
    const Variant* find(std::string_view name) const;

    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

  private:
    std::vector<Entry> entries_;
};

// Settings that do not travel in the connection string.
struct ConnectionOptions {
    // ODBC driver used for the SQL Server providers (SQLOLEDB, MSOLEDBSQL,
    // SQLNCLI*). A "Driver" key in the connection string takes precedence.
    std::string sqlServerDriver = "ODBC Driver 18 for SQL Server";
    // How long the embedded backend waits for a lock held by another process
    // (the point-of-sale program) before it gives up with an error.
    std::chrono::milliseconds busyTimeout{30'000};
    // Create a missing embedded database file instead of failing (the station
    // simulator and tests; the agent never creates its station database).
    bool createDatabase = false;
    // Embedded backend: flush to disk at every commit (SQLite synchronous
    // FULL). Off by default: in WAL mode a commit still survives a crash of
    // the process, and what a power cut can take back is only the agent's
    // own latest flag updates, whose rows are then sent again and stored
    // once by the server. The point-of-sale program's writes keep its own
    // connection's setting.
    bool syncEveryCommit = false;
};

class Backend;

// A connection to a station or central database. The backend is chosen from
// the connection string each time the connection opens:
//   Provider=SQLite (or QelSQLite)          embedded SQLite file
//   Provider=SQLOLEDB[.1] / MSOLEDBSQL / SQLNCLI*   SQL Server through ODBC
//   Provider=ODBC;Driver=...;...            any ODBC data source, passed through
// (see docs/connection-strings.md).
//
// Queries and commands open a closed connection implicitly, as the station
// database components do. Commands run without a time-out. Every engine or
// driver failure is raised as qel::DatabaseError carrying the engine's message.
//
// Parameters are written :NAME in the statement text; a name used several
// times takes the same value at every occurrence. A statement's declared
// parameter list types the values: String (a value longer than the declared
// size is rejected with a DatabaseError naming the parameter, never cut),
// Integer, Float, Date (the date part of the value) and DateTime. The raw-SQL
// forms type each value by its Variant kind.
//
// Not thread-safe: one thread uses a connection at a time.
class Connection {
  public:
    using BeforeConnect = std::function<void(Connection&)>;
    // Runs before every query and command with its SQL text; empty unless a
    // test injects faults (it throws to make the call fail).
    using BeforeStatement = std::function<void(std::string_view sql)>;

    explicit Connection(const Clock& clock, std::string connectionString = {},
                        ConnectionOptions options = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void setConnectionString(std::string connectionString);
    const std::string& connectionString() const { return connectionString_; }

    // Runs before every open; it may set the connection string.
    void setBeforeConnect(BeforeConnect handler) { beforeConnect_ = std::move(handler); }
    void setBeforeStatement(BeforeStatement hook) { beforeStatement_ = std::move(hook); }

    // Runs the before-connect handler and connects; does nothing when open.
    void open();
    // Disconnects, rolling back an open transaction; does nothing when closed.
    void close();
    bool connected() const { return backend_ != nullptr; }

    // The dialect of the open backend, or of the current connection string
    // when closed (SqlServer when it names no provider).
    Dialect dialect() const;
    // The text of a statement in this connection's dialect.
    std::string_view sqlText(const definitions::Statement& statement) const;

    // Begins a transaction unless one is open (opening the connection first).
    void startTransaction();
    // Commits the open transaction; does nothing when none is open.
    void commitTransaction();
    // Rolls back the open transaction; does nothing when none is open.
    void rollbackTransaction();
    bool inTransaction() const;

    // Between these two, reads see one snapshot of the database (the
    // embedded backend reads them in one read transaction, which spares each
    // statement its own). Nothing happens inside a transaction; a
    // transaction started meanwhile ends the snapshot first. Only for
    // stretches that read.
    void beginReadSnapshot();
    void endReadSnapshot();

    Dataset query(const definitions::Statement& statement, const Params& params = {});
    // Returns the number of rows the command changed.
    std::int64_t execute(const definitions::Statement& statement, const Params& params = {});
    // The command once per row of `rows`, in order, as far as the database can
    // tell: on the embedded backend an UPDATE whose WHERE terms are joined by
    // AND runs once for all rows that differ only in the value of one
    // "COLUMN = :NAME" term, that term read as a list of their values. Every
    // value is checked and converted as `execute` does; a value the list
    // cannot carry exactly (a float), parameters outside such terms that
    // differ between rows, or any other statement run row by row. Returns the
    // number of rows changed (a row named by several rows counts once).
    std::int64_t executeBatch(const definitions::Statement& statement,
                              const std::vector<Params>& rows);
    // Statements built at run time; each parameter is typed by its value.
    Dataset query(std::string_view sql, const Params& params = {});
    std::int64_t execute(std::string_view sql, const Params& params = {});

    // Makes another catalogue of the same server reachable by three-part
    // names. The embedded backend attaches the sibling file "<name>.db" under
    // the schema name `name` (now, and again at every later open); SQL Server
    // reaches other catalogues by itself, so there it does nothing.
    void attachCatalog(std::string_view name);
    // Makes an attached catalogue unreachable again. On the embedded backend
    // an attached file takes part in every transaction of this connection
    // (a write transaction locks it too), so attach it only while needed.
    // REQUIRES: no transaction is open.
    void detachCatalog(std::string_view name);

  private:
    struct BatchForm;
    const BatchForm* batchForm(const definitions::Statement& statement, std::string_view sql);

    Backend& ensureOpen();
    // Opens the connection and returns the statement's text in its dialect;
    // throws DatabaseError when the statement has none.
    std::string_view textToRun(const definitions::Statement& statement);

    const Clock& clock_;
    std::string connectionString_;
    ConnectionOptions options_;
    BeforeConnect beforeConnect_;
    BeforeStatement beforeStatement_;
    std::vector<std::string> catalogs_;
    std::unique_ptr<Backend> backend_;
    Dialect dialect_ = Dialect::SqlServer;  // of the open backend
    bool readSnapshot_ = false;             // a read snapshot of the open backend
    // The list forms of the statements run by executeBatch, by statement.
    std::vector<std::pair<const definitions::Statement*, std::shared_ptr<const BatchForm>>>
        batchForms_;
};

// A read snapshot for the life of a scope (see Connection::beginReadSnapshot).
class ReadSnapshot {
  public:
    explicit ReadSnapshot(Connection& connection) : connection_(connection) {
        connection_.beginReadSnapshot();
    }
    ~ReadSnapshot() {
        try {
            connection_.endReadSnapshot();
        } catch (...) {  // ending a read loses nothing; the connection reports later
        }
    }
    ReadSnapshot(const ReadSnapshot&) = delete;
    ReadSnapshot& operator=(const ReadSnapshot&) = delete;

  private:
    Connection& connection_;
};

}  // namespace qel::db
