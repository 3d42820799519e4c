#pragma once

// The floors of the export path: each piece of work a transfer or a change
// check cannot avoid, done once with nothing else around it, on the same
// rows and bytes the agent handled, in the same process and run:
//   - the station's selections through the bare SQLite API in one read
//     transaction (with the connection opened anew when the agent reopens it);
//   - msgpack-cxx's own encode and decode of the same bytes;
//   - a bare loopback HTTP POST of the same sizes with TCP_NODELAY;
//   - the central upsert and the read-back of the same rows (bare SQLite);
//   - the flag updates of the acknowledged rows in one transaction.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <msgpack.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/variant.h"
#include "db/sqlite/sqlserver_functions.h"
#include "definitions/statement.h"
#include "export/run_state.h"
#include "loopback/loopback.h"
#include "selection/catalogue.h"

namespace qel::bench {

using Seconds = double;

// Figures and floors are CPU time of the whole process (every thread: the
// agent, the in-process server, the bare peer), read from
// CLOCK_PROCESS_CPUTIME_ID. On a machine shared with other work, wall time
// mostly measures how long each thread waited for a core; CPU time measures
// the work, which is what a ratio to a floor is about.
struct CpuClock {
    using time_point = Seconds;
    static time_point now() {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
};

inline Seconds since(CpuClock::time_point start) {
    return CpuClock::now() - start;
}

// A bare SQLite connection for the floors.
class RawDb {
  public:
    explicit RawDb(const std::filesystem::path& file) {
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            throw std::runtime_error("cannot open " + file.string());
        }
        sqlite3_busy_timeout(db_, 10000);
    }
    ~RawDb() { sqlite3_close_v2(db_); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;
    sqlite3* get() const { return db_; }
    void exec(const char* sql) const {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : "?";
            sqlite3_free(error);
            throw std::runtime_error(std::string(sql) + ": " + message);
        }
    }

  private:
    sqlite3* db_ = nullptr;
};

// A statement prepared once and finalized on destruction.
class RawStmt {
  public:
    RawStmt(sqlite3* db, std::string_view sql) {
        if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
            SQLITE_OK) {
            throw std::runtime_error(std::string(sqlite3_errmsg(db)) + ": " + std::string(sql));
        }
    }
    ~RawStmt() { sqlite3_finalize(stmt_); }
    RawStmt(const RawStmt&) = delete;
    RawStmt& operator=(const RawStmt&) = delete;
    sqlite3_stmt* get() const { return stmt_; }
    void text(const char* name, const std::string& value) const {
        const int i = sqlite3_bind_parameter_index(stmt_, name);
        if (i > 0)
            sqlite3_bind_text(stmt_, i, value.data(), static_cast<int>(value.size()), nullptr);
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

// Steps a statement to its end reading every column in its stored form;
// returns the rows read.
inline std::int64_t readAll(sqlite3_stmt* stmt) {
    std::int64_t rows = 0;
    std::int64_t bytes = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        ++rows;
        for (int c = 0, n = sqlite3_column_count(stmt); c < n; ++c) {
            switch (sqlite3_column_type(stmt, c)) {
                case SQLITE_INTEGER:
                    bytes += sqlite3_column_int64(stmt, c) & 1;
                    break;
                case SQLITE_FLOAT:
                    bytes += sqlite3_column_double(stmt, c) > 0;
                    break;
                case SQLITE_NULL:
                    break;
                default:
                    sqlite3_column_text(stmt, c);
                    bytes += sqlite3_column_bytes(stmt, c);
            }
        }
    }
    sqlite3_reset(stmt);
    return rows + (bytes < 0 ? 1 : 0);
}

// The change check's selections through the bare API: the sales window, then
// every selection of the export catalogue with the run's values, in one read
// transaction; opening the connection (and registering the SQL Server
// functions the texts use) is part of the floor when `reopen` is set.
// Returns the rows read.
inline std::int64_t selectionsFloor(const std::filesystem::path& stationFile,
                                    const agent::RunValues& run, const Clock& clock,
                                    Seconds& elapsed) {
    const auto start = CpuClock::now();
    RawDb db(stationFile);
    db::sqlite::registerSqlServerFunctions(db.get(), clock);
    db.exec("BEGIN");
    std::string first, last;
    {
        RawStmt window(db.get(), definitions::statement("adqRangeVendaExp").sqlite);
        window.text(":P_CDFILIAL", run.CDFILIAL);
        window.text(":P_CDCAIXA", run.CDCAIXA);
        window.text(":P_DTMOVIM", run.FiltroDtMovim);
        sqlite3_bind_int64(window.get(),
                           sqlite3_bind_parameter_index(window.get(), ":P_NRVENDAEXP"),
                           std::stoll(run.QtdMaxVendasExp));
        while (sqlite3_step(window.get()) == SQLITE_ROW) {
            last = reinterpret_cast<const char*>(sqlite3_column_text(window.get(), 0));
            if (first.empty()) first = last;
        }
    }
    std::int64_t rows = 0;
    for (const agent::ExportTableEntry& entry : agent::TabelasExportacao) {
        if (entry.component.empty()) continue;
        RawStmt s(db.get(), definitions::statement(entry.component).sqlite);
        s.text(":P_CDFILIAL", run.CDFILIAL);
        s.text(":P_CDCAIXA", run.CDCAIXA);
        s.text(":P_CDLOJA", run.CDLOJA);
        s.text(":P_DTMOVIM", run.FiltroDtMovim);
        s.text(":P_NRSEQVENDAINI", first);
        s.text(":P_NRSEQVENDAFIN", last);
        rows += readAll(s.get());
    }
    db.exec("COMMIT");
    elapsed = since(start);
    return rows;
}

// msgpack-cxx's own decode of the bytes into its object tree.
inline Seconds msgpackDecode(const Bytes& bytes) {
    const auto start = CpuClock::now();
    msgpack::object_handle oh =
        msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const Seconds s = since(start);
    if (oh.get().type == msgpack::type::NIL && bytes.size() > 1) throw std::runtime_error("nil");
    return s;
}

// msgpack-cxx's own encode of the same value (its tree, built beforehand).
inline Seconds msgpackEncode(const Bytes& bytes, std::size_t& written) {
    msgpack::object_handle oh =
        msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const auto start = CpuClock::now();
    msgpack::sbuffer out(bytes.size());
    msgpack::pack(out, oh.get());
    const Seconds s = since(start);
    written = out.size();
    return s;
}

// A bare HTTP/1.1 peer on 127.0.0.1: reads a request with its body and answers
// with a body of the size asked for in the request's X-Reply header.
class BarePostServer {
  public:
    BarePostServer() {
        const loopback::Listener listening = loopback::listen(0, 4);
        listen_ = listening.fd;
        port_ = listening.port;
        thread_ = std::thread([this] { serve(); });
    }
    ~BarePostServer() {
        ::shutdown(listen_, SHUT_RDWR);
        ::close(listen_);
        thread_.join();
    }
    int port() const { return port_; }

  private:
    void serve() {
        const int c = ::accept(listen_, nullptr, nullptr);
        if (c < 0) return;
        const int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string buffer;
        std::vector<char> chunk(1 << 16);
        std::string reply;
        for (;;) {
            std::size_t headerEnd;
            while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t n = ::read(c, chunk.data(), chunk.size());
                if (n <= 0) {
                    ::close(c);
                    return;
                }
                buffer.append(chunk.data(), static_cast<std::size_t>(n));
            }
            const std::size_t body = headerOf(buffer, "Content-Length: ");
            const std::size_t replySize = headerOf(buffer, "X-Reply: ");
            while (buffer.size() < headerEnd + 4 + body) {
                const ssize_t n = ::read(c, chunk.data(), chunk.size());
                if (n <= 0) {
                    ::close(c);
                    return;
                }
                buffer.append(chunk.data(), static_cast<std::size_t>(n));
            }
            buffer.erase(0, headerEnd + 4 + body);
            reply =
                "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                std::to_string(replySize) + "\r\n\r\n";
            reply.append(replySize, 'x');
            writeAll(c, reply);
        }
    }
    static std::size_t headerOf(const std::string& head, const char* name) {
        const auto at = head.find(name);
        return at == std::string::npos ? 0 : std::stoull(head.substr(at + std::strlen(name)));
    }

  public:
    static void writeAll(int fd, const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = ::write(fd, data.data() + sent, data.size() - sent);
            if (n <= 0) throw std::runtime_error("bare POST: write failed");
            sent += static_cast<std::size_t>(n);
        }
    }

  private:
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// A kept-alive client of BarePostServer.
class BarePostClient {
  public:
    explicit BarePostClient(int port) {
        fd_ = loopback::connect(port);
        if (fd_ < 0) throw std::runtime_error("bare POST: cannot connect");
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~BarePostClient() { ::close(fd_); }

    // One POST of `size` bytes answered with `replySize` bytes.
    Seconds post(std::size_t size, std::size_t replySize) {
        std::string request =
            "POST /call HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(size) +
            "\r\nX-Reply: " + std::to_string(replySize) + "\r\n\r\n";
        request.append(size, 'y');
        const auto start = CpuClock::now();
        BarePostServer::writeAll(fd_, request);
        std::string got;
        std::vector<char> chunk(1 << 16);
        std::size_t headerEnd = std::string::npos;
        while (headerEnd == std::string::npos || got.size() < headerEnd + 4 + replySize) {
            const ssize_t n = ::read(fd_, chunk.data(), chunk.size());
            if (n <= 0) throw std::runtime_error("bare POST: read failed");
            got.append(chunk.data(), static_cast<std::size_t>(n));
            if (headerEnd == std::string::npos) headerEnd = got.find("\r\n\r\n");
        }
        return since(start);
    }

  private:
    int fd_ = -1;
};

// One row of the central store as the upsert floor writes it.
struct CentralRow {
    std::string table;
    std::string key;
    Bytes content;
};

// The central upsert of the rows in one transaction, then their read-back
// and comparison in one read transaction, on a fresh store file with the
// central store's table and settings.
inline void centralFloor(const std::filesystem::path& file, const std::vector<CentralRow>& rows,
                         Seconds& upsert, Seconds& verify) {
    std::filesystem::remove(file);
    RawDb db(file);
    db.exec(
        "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
        "CREATE TABLE export_row (table_name TEXT NOT NULL, row_key BLOB NOT NULL, store "
        "TEXT NOT NULL, station TEXT NOT NULL, content BLOB NOT NULL, received_at REAL NOT "
        "NULL, PRIMARY KEY (table_name, row_key)) WITHOUT ROWID");
    RawStmt put(db.get(),
                "INSERT INTO export_row (table_name, row_key, store, station, content, "
                "received_at) VALUES (?1, ?2, '0001', '001', ?3, 46000.5) ON CONFLICT "
                "(table_name, row_key) DO UPDATE SET content = excluded.content WHERE content IS "
                "NOT excluded.content");
    RawStmt get(db.get(), "SELECT content FROM export_row WHERE table_name = ?1 AND row_key = ?2");
    auto start = CpuClock::now();
    db.exec("BEGIN");
    for (const CentralRow& r : rows) {
        sqlite3_bind_text(put.get(), 1, r.table.data(), static_cast<int>(r.table.size()), nullptr);
        sqlite3_bind_blob(put.get(), 2, r.key.data(), static_cast<int>(r.key.size()), nullptr);
        sqlite3_bind_blob(put.get(), 3, r.content.data(), static_cast<int>(r.content.size()),
                          nullptr);
        sqlite3_step(put.get());
        sqlite3_reset(put.get());
    }
    db.exec("COMMIT");
    upsert = since(start);
    start = CpuClock::now();
    db.exec("BEGIN");
    std::size_t same = 0;
    for (const CentralRow& r : rows) {
        sqlite3_bind_text(get.get(), 1, r.table.data(), static_cast<int>(r.table.size()), nullptr);
        sqlite3_bind_blob(get.get(), 2, r.key.data(), static_cast<int>(r.key.size()), nullptr);
        if (sqlite3_step(get.get()) == SQLITE_ROW &&
            static_cast<std::size_t>(sqlite3_column_bytes(get.get(), 0)) == r.content.size() &&
            std::memcmp(sqlite3_column_blob(get.get(), 0), r.content.data(), r.content.size()) ==
                0) {
            ++same;
        }
        sqlite3_reset(get.get());
    }
    db.exec("COMMIT");
    verify = since(start);
    if (same != rows.size()) throw std::runtime_error("central floor: rows not read back");
}

// `count` keyed flag updates of the station's sales in one transaction (the
// acknowledged rows of a transfer, each one indexed update), cycling over
// the given sale numbers.
inline Seconds flagFloor(const std::filesystem::path& stationFile,
                         const std::vector<std::string>& sales, std::size_t count) {
    RawDb db(stationFile);
    db.exec("PRAGMA synchronous = NORMAL");
    RawStmt update(db.get(),
                   "UPDATE VENDA SET IDIMPVENDA = 'S' WHERE CDFILIAL = '0001' AND CDCAIXA = '001' "
                   "AND NRSEQVENDA = ?1");
    const auto start = CpuClock::now();
    db.exec("BEGIN");
    for (std::size_t i = 0; i < count && !sales.empty(); ++i) {
        const std::string& nr = sales[i % sales.size()];
        sqlite3_bind_text(update.get(), 1, nr.data(), static_cast<int>(nr.size()), nullptr);
        sqlite3_step(update.get());
        sqlite3_reset(update.get());
    }
    db.exec("COMMIT");
    return since(start);
}

}  // namespace qel::bench
