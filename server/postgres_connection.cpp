#include "postgres_connection.h"

#include <libpq-fe.h>

#include <bit>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace qel::server::pg {

Param Param::of(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);  // shortest exact form
    return {std::string(buf, r.ptr), {}, false, false};
}

Result::~Result() {
    if (r_) PQclear(r_);
}

int Result::rows() const {
    return PQntuples(r_);
}

bool Result::isNull(int row, int col) const {
    return PQgetisnull(r_, row, col) != 0;
}

std::string Result::text(int row, int col) const {
    return std::string(PQgetvalue(r_, row, col),
                       static_cast<std::size_t>(PQgetlength(r_, row, col)));
}

std::span<const std::uint8_t> Result::bytes(int row, int col) const {
    return {reinterpret_cast<const std::uint8_t*>(PQgetvalue(r_, row, col)),
            static_cast<std::size_t>(PQgetlength(r_, row, col))};
}

std::int64_t Result::int64(int row, int col) const {
    return std::strtoll(PQgetvalue(r_, row, col), nullptr, 10);
}

double Result::float8(int row, int col) const {
    const char* p = PQgetvalue(r_, row, col);
    double v = 0;
    std::from_chars(p, p + std::strlen(p), v);
    return v;
}

std::optional<double> Result::optionalFloat8(int row, int col) const {
    if (isNull(row, col)) return std::nullopt;
    return float8(row, col);
}

CopyBuffer::CopyBuffer() {
    static constexpr char kHeader[] = "PGCOPY\n\377\r\n";
    data_.assign(kHeader, sizeof kHeader);  // the signature includes its final NUL
    be(0, 4);                               // flags
    be(0, 4);                               // header extension length
}

void CopyBuffer::be(std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) data_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void CopyBuffer::row(int fields) {
    be(static_cast<std::uint16_t>(fields), 2);
}

void CopyBuffer::text(std::string_view v) {
    be(static_cast<std::uint32_t>(v.size()), 4);
    data_.append(v);
}

void CopyBuffer::bytes(std::span<const std::uint8_t> v) {
    be(static_cast<std::uint32_t>(v.size()), 4);
    data_.append(reinterpret_cast<const char*>(v.data()), v.size());
}

void CopyBuffer::float8(double v) {
    be(8, 4);
    be(std::bit_cast<std::uint64_t>(v), 8);
}

void CopyBuffer::int8(std::int64_t v) {
    be(8, 4);
    be(static_cast<std::uint64_t>(v), 8);
}

void CopyBuffer::int4(std::int32_t v) {
    be(4, 4);
    be(static_cast<std::uint32_t>(v), 4);
}

const std::string& CopyBuffer::finish() {
    if (!finished_) {
        be(0xFFFF, 2);
        finished_ = true;
    }
    return data_;
}

Connection::Connection(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
        std::string message = conn_ ? PQerrorMessage(conn_) : "out of memory";
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
            message.pop_back();
        }
        PQfinish(conn_);
        conn_ = nullptr;
        throw DatabaseError("Central store (PostgreSQL): cannot connect: " + message);
    }
}

Connection::~Connection() {
    if (conn_) PQfinish(conn_);
}

bool Connection::healthy() const {
    return conn_ && PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) == PQTRANS_IDLE;
}

Result Connection::check(PGresult* r, const char* sql) {
    const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK || status == PGRES_COPY_IN) {
        return Result(r);
    }
    std::string message = r ? PQresultErrorMessage(r) : PQerrorMessage(conn_);
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    std::string sqlstate = state ? state : "";
    if (r) PQclear(r);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    std::string statement(sql);
    if (statement.size() > 60) statement = statement.substr(0, 60) + "...";
    throw PgError("Central store (PostgreSQL): " + message + " [" + statement + "]",
                  std::move(sqlstate));
}

Result Connection::exec(const char* sql) {
    return check(PQexec(conn_, sql), sql);
}

Result Connection::exec(const char* sql, const std::vector<Param>& params, bool binaryResult) {
    std::vector<const char*> values(params.size());
    std::vector<int> lengths(params.size());
    std::vector<int> formats(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Param& p = params[i];
        if (p.null) {
            values[i] = nullptr;
        } else if (p.binary) {
            values[i] = p.bytes.empty() ? "" : reinterpret_cast<const char*>(p.bytes.data());
            lengths[i] = static_cast<int>(p.bytes.size());
            formats[i] = 1;
        } else {
            values[i] = p.text.c_str();
        }
    }
    return check(PQexecParams(conn_, sql, static_cast<int>(params.size()), nullptr, values.data(),
                              lengths.data(), formats.data(), binaryResult ? 1 : 0),
                 sql);
}

void Connection::copyIn(const char* copyStatement, const std::string& stream) {
    exec(copyStatement);  // enters the COPY IN state
    if (PQputCopyData(conn_, stream.data(), static_cast<int>(stream.size())) != 1 ||
        PQputCopyEnd(conn_, nullptr) != 1) {
        throw DatabaseError(std::string("Central store (PostgreSQL): COPY failed: ") +
                            PQerrorMessage(conn_));
    }
    Result r = check(PQgetResult(conn_), copyStatement);
    while (PGresult* extra = PQgetResult(conn_)) PQclear(extra);
}

Pool::Pool(std::string conninfo, int size, std::function<void(Connection&)> prepare)
    : conninfo_(std::move(conninfo)), size_(size > 0 ? size : 1), prepare_(std::move(prepare)) {}

Pool::Lease Pool::acquire() {
    std::unique_lock lock(mutex_);
    available_.wait(lock, [this] { return !idle_.empty() || open_ < size_; });
    if (!idle_.empty()) {
        auto c = std::move(idle_.back());
        idle_.pop_back();
        return Lease(*this, std::move(c));
    }
    ++open_;
    lock.unlock();
    try {
        auto c = std::make_unique<Connection>(conninfo_);
        if (prepare_) prepare_(*c);
        return Lease(*this, std::move(c));
    } catch (...) {
        lock.lock();
        --open_;
        available_.notify_one();
        throw;
    }
}

void Pool::release(std::unique_ptr<Connection> c) {
    std::lock_guard lock(mutex_);
    if (c && c->healthy()) {
        idle_.push_back(std::move(c));
    } else {
        --open_;  // dropped: a broken or mid-transaction connection is not reused
    }
    available_.notify_one();
}

Pool::Lease::~Lease() {
    if (pool_ && c_) pool_->release(std::move(c_));
}

}  // namespace qel::server::pg
