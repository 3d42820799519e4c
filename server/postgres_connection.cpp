#include "postgres_connection.h"

#include <libpq-fe.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace qel::server::pg {

namespace {

void requireNoNul(std::string_view v) {
    if (v.find('\0') != std::string_view::npos) {
        throw DatabaseError(
            "Central store (PostgreSQL): a text holds a NUL character, which "
            "PostgreSQL cannot store");
    }
}

}  // namespace

Param Param::of(std::string_view v) {
    requireNoNul(v);
    return {std::string(v), {}, false, false};
}

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
    // A value out of range (a numeric sum) is an error, never a saturated number.
    const char* p = PQgetvalue(r_, row, col);
    const char* end = p + PQgetlength(r_, row, col);
    std::int64_t v = 0;
    const auto [stop, ec] = std::from_chars(p, end, v);
    if (ec != std::errc() || stop != end) {
        throw DatabaseError("Central store (PostgreSQL): " + std::string(p, end) +
                            " is not a 64-bit integer");
    }
    return v;
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

ArrayBuilder::ArrayBuilder(Oid element) : element_(element) {}

void ArrayBuilder::be(std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) data_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void ArrayBuilder::text(std::string_view v) {
    requireNoNul(v);
    be(static_cast<std::uint32_t>(v.size()), 4);
    data_.append(v);
    ++count_;
}

void ArrayBuilder::bytes(std::span<const std::uint8_t> v) {
    be(static_cast<std::uint32_t>(v.size()), 4);
    data_.append(reinterpret_cast<const char*>(v.data()), v.size());
    ++count_;
}

void ArrayBuilder::int8(std::int64_t v) {
    be(8, 4);
    be(static_cast<std::uint64_t>(v), 8);
    ++count_;
}

void ArrayBuilder::float8(double v) {
    be(8, 4);
    be(std::bit_cast<std::uint64_t>(v), 8);
    ++count_;
}

void ArrayBuilder::null() {
    be(0xFFFFFFFF, 4);  // length -1
    nulls_ = true;
    ++count_;
}

Oid ArrayBuilder::arrayType() const {
    switch (element_) {
        case Oid::bytea:
            return Oid::byteaArray;
        case Oid::int8:
            return Oid::int8Array;
        case Oid::float8:
            return Oid::float8Array;
        default:
            return Oid::textArray;
    }
}

std::string ArrayBuilder::take() {
    // Header: dimensions, has-nulls flag, element type; then each
    // dimension's length and lower bound. An empty array has no dimension.
    std::string out;
    out.swap(data_);
    data_.clear();
    const bool empty = count_ == 0;
    be(empty ? 0 : 1, 4);
    be(nulls_ ? 1 : 0, 4);
    be(static_cast<std::uint32_t>(element_), 4);
    if (!empty) {
        be(static_cast<std::uint32_t>(count_), 4);
        be(1, 4);
    }
    std::string header;
    header.swap(data_);
    count_ = 0;
    nulls_ = false;
    return header + out;
}

CopyBuilder::CopyBuilder(std::size_t expectedBytes) {
    data_.reserve(expectedBytes);
    data_.append("PGCOPY\n\377\r\n\0", 11);  // signature
    be(0, 4);                                // flags
    be(0, 4);                                // header extension length
}

void CopyBuilder::be(std::uint64_t v, int bytes) {
    char b[8];
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<char>((v >> (8 * (bytes - 1 - i))) & 0xFF);
    data_.append(b, static_cast<std::size_t>(bytes));
}

void CopyBuilder::row(int fields) {
    be(static_cast<std::uint16_t>(fields), 2);
}

void CopyBuilder::text(std::string_view v) {
    requireNoNul(v);
    be(static_cast<std::uint32_t>(v.size()), 4);
    data_.append(v);
}

void CopyBuilder::bytes(std::span<const std::uint8_t> v) {
    be(static_cast<std::uint32_t>(v.size()), 4);
    data_.append(reinterpret_cast<const char*>(v.data()), v.size());
}

void CopyBuilder::float8(double v) {
    be(8, 4);
    be(std::bit_cast<std::uint64_t>(v), 8);
}

std::string CopyBuilder::take() {
    be(0xFFFF, 2);  // trailer: a field count of -1
    return std::move(data_);
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

namespace {

std::string trimmed(std::string message) {
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

std::string shortened(const char* sql) {
    std::string statement(sql);
    if (statement.size() > 60) statement = statement.substr(0, 60) + "...";
    return statement;
}

// The parameter arrays libpq takes, pointing into `params`.
struct ParamArrays {
    explicit ParamArrays(const std::vector<Param>& params)
        : types(params.size()),
          values(params.size()),
          lengths(params.size()),
          formats(params.size()) {
        for (std::size_t i = 0; i < params.size(); ++i) {
            const Param& p = params[i];
            types[i] = static_cast<unsigned>(p.type);
            if (p.null) {
                values[i] = nullptr;
            } else if (p.binary) {
                const bool owned = p.bytes.empty() && !p.owned.empty();
                const char* data =
                    owned ? p.owned.data() : reinterpret_cast<const char*>(p.bytes.data());
                values[i] = data ? data : "";
                lengths[i] = static_cast<int>(owned ? p.owned.size() : p.bytes.size());
                formats[i] = 1;
            } else {
                values[i] = p.owned.c_str();
            }
        }
    }
    std::vector<unsigned> types;
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
};

}  // namespace

void Connection::lost(const char* what) {
    throw PgError(
        std::string("Central store (PostgreSQL): ") + what + ": " + trimmed(PQerrorMessage(conn_)),
        "08006", true);
}

void Connection::fail(PGresult* r, const char* sql) {
    std::string message = trimmed(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_));
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    std::string sqlstate = state ? state : "";
    if (r) PQclear(r);
    // A restart ends the sessions with 57P01 (admin shutdown); a cut network
    // leaves the connection bad with no SQLSTATE at all.
    const bool lostConnection = PQstatus(conn_) == CONNECTION_BAD || sqlstate.starts_with("08") ||
                                sqlstate == "57P01" || sqlstate == "57P02" || sqlstate == "57P03";
    throw PgError("Central store (PostgreSQL): " + message + " [" + shortened(sql) + "]",
                  std::move(sqlstate), lostConnection);
}

Result Connection::check(PGresult* r, const char* sql) {
    const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return Result(r);
    fail(r, sql);
}

Result Connection::exec(const char* sql) {
    return check(PQexec(conn_, sql), sql);
}

void Connection::prepare(const char* sql) {
    if (preparedName(sql)) return;
    std::string name = "qel_" + std::to_string(prepared_.size() + 1);
    check(PQprepare(conn_, name.c_str(), sql, 0, nullptr), sql);
    prepared_.emplace_back(sql, std::move(name));
}

const char* Connection::preparedName(const char* sql) const {
    for (const auto& [text, name] : prepared_) {
        if (text == sql) return name.c_str();  // by address: the texts are literals
    }
    return nullptr;
}

Result Connection::exec(const char* sql, const std::vector<Param>& params, bool binaryResult) {
    const ParamArrays a(params);
    const int n = static_cast<int>(params.size());
    const int format = binaryResult ? 1 : 0;
    if (const char* name = preparedName(sql)) {
        return check(PQexecPrepared(conn_, name, n, a.values.data(), a.lengths.data(),
                                    a.formats.data(), format),
                     sql);
    }
    return check(PQexecParams(conn_, sql, n, a.types.data(), a.values.data(), a.lengths.data(),
                              a.formats.data(), format),
                 sql);
}

int Connection::send(const Statement& st) {
    const ParamArrays a(st.params);
    const int n = static_cast<int>(st.params.size());
    const int format = st.binaryResult ? 1 : 0;
    if (const char* name = preparedName(st.sql)) {
        return PQsendQueryPrepared(conn_, name, n, a.values.data(), a.lengths.data(),
                                   a.formats.data(), format);
    }
    return PQsendQueryParams(conn_, st.sql, n, a.types.data(), a.values.data(), a.lengths.data(),
                             a.formats.data(), format);
}

std::vector<Result> Connection::pipeline(const std::vector<Statement>& statements) {
    if (PQenterPipelineMode(conn_) != 1) lost("cannot start a pipeline");
    // Leaves pipeline mode however this ends, so that the connection is
    // either reusable or visibly broken.
    struct Exit {
        pg_conn* c;
        ~Exit() {
            if (PQpipelineStatus(c) != PQ_PIPELINE_OFF) PQexitPipelineMode(c);
        }
    } exit{conn_};
    for (const Statement& st : statements) {
        if (send(st) != 1) lost("cannot send a statement");
    }
    if (PQpipelineSync(conn_) != 1) lost("cannot send a statement");

    std::vector<Result> results;
    results.reserve(statements.size());
    PGresult* firstError = nullptr;
    const char* failedSql = nullptr;
    for (const Statement& st : statements) {
        PGresult* r = PQgetResult(conn_);
        if (!r) {
            if (firstError) PQclear(firstError);
            lost("connection lost in a pipeline");
        }
        while (PGresult* end = PQgetResult(conn_)) PQclear(end);  // ends each statement
        const ExecStatusType status = PQresultStatus(r);
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            results.emplace_back(r);
        } else if (!firstError && status != PGRES_PIPELINE_ABORTED) {
            firstError = r;
            failedSql = st.sql;
        } else {
            PQclear(r);
        }
    }
    PGresult* sync = PQgetResult(conn_);
    const bool synced = sync && PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
    if (sync) PQclear(sync);
    if (firstError) fail(firstError, failedSql);
    if (!synced) lost("connection lost in a pipeline");
    return results;
}

void Connection::copyIn(const char* sql, std::string_view data) {
    PGresult* start = PQexec(conn_, sql);
    if (!start || PQresultStatus(start) != PGRES_COPY_IN) fail(start, sql);
    PQclear(start);
    // In pieces, so that libpq's send buffer does not have to hold it all.
    constexpr std::size_t kPiece = 256 * 1024;
    for (std::size_t at = 0; at < data.size(); at += kPiece) {
        const std::size_t n = std::min(kPiece, data.size() - at);
        if (PQputCopyData(conn_, data.data() + at, static_cast<int>(n)) != 1) {
            lost("cannot send COPY data");
        }
    }
    if (PQputCopyEnd(conn_, nullptr) != 1) lost("cannot end COPY");
    PGresult* r = PQgetResult(conn_);
    if (!r) lost("connection lost in COPY");
    while (PGresult* end = PQgetResult(conn_)) PQclear(end);
    check(r, sql);
}

Pool::Pool(std::string conninfo, int size, std::function<void(Connection&)> prepare)
    : conninfo_(std::move(conninfo)), size_(size > 0 ? size : 1), prepare_(std::move(prepare)) {}

std::unique_ptr<Connection> Pool::connect() {
    auto c = std::make_unique<Connection>(conninfo_);
    if (prepare_) prepare_(*c);
    return c;
}

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
        return Lease(*this, connect());
    } catch (...) {
        lock.lock();
        --open_;
        available_.notify_one();
        throw;
    }
}

void Pool::dropIdle() {
    std::vector<std::unique_ptr<Connection>> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(idle_);
        open_ -= static_cast<int>(dropped.size());
        available_.notify_all();
    }
    // Closed outside the lock: closing a dead socket may take a moment.
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

void Pool::Lease::reconnect() {
    c_.reset();  // the slot stays this lease's; released as empty if connecting fails
    pool_->dropIdle();
    c_ = pool_->connect();
}

Pool::Lease::~Lease() {
    if (pool_) pool_->release(std::move(c_));
}

}  // namespace qel::server::pg
