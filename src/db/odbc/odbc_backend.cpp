#include "db/odbc/odbc_backend.h"

// The ODBC headers need the Windows types on Windows.
#if defined(_WIN32)
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "core/error.h"
#include "db/odbc/wide_text.h"
#include "db/sql_params.h"

namespace qel::db::odbc {
namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "ODBC wide characters must be UTF-16");

// Prepared statements kept per connection (see the embedded backend).
constexpr std::size_t kMaxCachedStatements = 256;

SQLWCHAR* wide(WideString& s) {
    return reinterpret_cast<SQLWCHAR*>(s.data());
}

// The diagnostic records of a handle, as one line: "message (SQLSTATE xxxxx); ...".
std::string diagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
    std::string out;
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLWCHAR message[1024] = {};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRecW(handleType, handle, record, state, &native, message,
                                            SQLSMALLINT(std::size(message)), &length);
        if (!SQL_SUCCEEDED(rc)) break;
        if (!out.empty()) out += "; ";
        const auto chars =
            static_cast<std::size_t>(std::clamp<SQLSMALLINT>(length, 0, std::size(message) - 1));
        out += toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(message), chars));
        out += " (SQLSTATE " +
               toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(state), 5)) + ")";
    }
    return out.empty() ? "ODBC call failed without a diagnostic" : out;
}

void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle) {
    if (!SQL_SUCCEEDED(rc)) throw DatabaseError(diagnostics(handleType, handle));
}

FieldDef fieldFromSqlType(SQLSMALLINT sqlType, SQLULEN columnSize, SQLSMALLINT digits) {
    FieldDef def;
    switch (sqlType) {
        case SQL_CHAR:
        case SQL_VARCHAR:
        case SQL_WCHAR:
        case SQL_WVARCHAR:
            def.type = FieldType::String;
            def.size = columnSize > 0 && columnSize <= 8000 ? static_cast<int>(columnSize) : 0;
            break;
        case SQL_TINYINT:
        case SQL_SMALLINT:
        case SQL_INTEGER:
        case SQL_BIGINT:
            def.type = FieldType::Integer;
            break;
        case SQL_DECIMAL:
        case SQL_NUMERIC:
            def.type = FieldType::Decimal;
            def.scale = std::clamp<int>(digits, 0, 18);
            break;
        case SQL_REAL:
        case SQL_FLOAT:
        case SQL_DOUBLE:
            def.type = FieldType::Float;
            break;
        case SQL_TYPE_DATE:
        case SQL_DATE:
            def.type = FieldType::Date;
            break;
        case SQL_TYPE_TIMESTAMP:
        case SQL_TIMESTAMP:
        case SQL_TYPE_TIME:
        case SQL_TIME:
            def.type = FieldType::DateTime;
            break;
        case SQL_BIT:
            def.type = FieldType::Boolean;
            break;
        case SQL_BINARY:
        case SQL_VARBINARY:
        case SQL_LONGVARBINARY:
            def.type = FieldType::Blob;
            break;
        default:
            def.type = FieldType::String;
            break;  // long text, GUID, driver types
    }
    return def;
}

// Reads a column of variable length (text or bytes) in pieces.
// Returns false for NULL.
template <typename Char>
bool getLong(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT cType, std::basic_string<Char>& out) {
    Char buffer[1024];
    const SQLLEN terminator = cType == SQL_C_BINARY ? 0 : 1;
    const SQLLEN capacity = static_cast<SQLLEN>(std::size(buffer)) - terminator;
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(stmt, column, cType, buffer, sizeof(buffer), &indicator);
        if (rc == SQL_NO_DATA) return true;
        check(rc, SQL_HANDLE_STMT, stmt);
        if (indicator == SQL_NULL_DATA) return false;
        const bool truncated =
            indicator == SQL_NO_TOTAL || indicator / SQLLEN(sizeof(Char)) > capacity;
        const SQLLEN count = truncated ? capacity : indicator / SQLLEN(sizeof(Char));
        out.append(buffer, static_cast<std::size_t>(count));
        if (!truncated) return true;
    }
}

template <typename T>
bool getFixed(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT cType, T& out) {
    SQLLEN indicator = 0;
    check(SQLGetData(stmt, column, cType, &out, sizeof(out), &indicator), SQL_HANDLE_STMT, stmt);
    return indicator != SQL_NULL_DATA;
}

Decimal parseDecimal(const std::string& text, int scale) {
    try {
        return Variant(Decimal::parse(text)).asDecimal(scale);
    } catch (const Error&) {
        // Some drivers render a binary number in exponent form.
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (end == text.c_str()) throw DatabaseError("Not a decimal number: " + text);
        return Decimal::fromDouble(value, scale);
    }
}

Variant readValue(SQLHSTMT stmt, SQLUSMALLINT column, const FieldDef& def) {
    switch (def.type) {
        case FieldType::String: {
            std::u16string text;
            if (!getLong(stmt, column, SQL_C_WCHAR, text)) return Variant::null();
            return Variant(toUtf8(text));
        }
        case FieldType::Integer: {
            SQLBIGINT value = 0;
            if (!getFixed(stmt, column, SQL_C_SBIGINT, value)) return Variant::null();
            return Variant(static_cast<std::int64_t>(value));
        }
        case FieldType::Float: {
            SQLDOUBLE value = 0;
            if (!getFixed(stmt, column, SQL_C_DOUBLE, value)) return Variant::null();
            return Variant(static_cast<double>(value));
        }
        case FieldType::Decimal: {
            std::string text;
            if (!getLong(stmt, column, SQL_C_CHAR, text)) return Variant::null();
            return Variant(parseDecimal(text, def.scale));
        }
        case FieldType::Date:
        case FieldType::DateTime: {
            SQL_TIMESTAMP_STRUCT ts{};
            if (!getFixed(stmt, column, SQL_C_TYPE_TIMESTAMP, ts)) return Variant::null();
            const int millisecond =
                std::min<int>(999, static_cast<int>((ts.fraction + 500'000) / 1'000'000));
            if (ts.year == 0) {  // a time of day alone
                return Variant(DateTime::fromDateTime(1899, 12, 30, ts.hour, ts.minute, ts.second,
                                                      millisecond));
            }
            return Variant(DateTime::fromDateTime(ts.year, ts.month, ts.day, ts.hour, ts.minute,
                                                  ts.second, millisecond));
        }
        case FieldType::Boolean: {
            unsigned char value = 0;
            if (!getFixed(stmt, column, SQL_C_BIT, value)) return Variant::null();
            return Variant(value != 0);
        }
        case FieldType::Blob:
            break;
    }
    std::basic_string<std::uint8_t> bytes;
    if (!getLong(stmt, column, SQL_C_BINARY, bytes)) return Variant::null();
    return Variant(Bytes(bytes.begin(), bytes.end()));
}

// The storage of one bound parameter; it must stay put until the statement ran.
struct ParamBuffer {
    WideString wide;
    std::string chars;
    SQL_TIMESTAMP_STRUCT timestamp{};
    SQLBIGINT integer = 0;
    SQLDOUBLE real = 0;
    unsigned char bit = 0;
    SQLLEN indicator = 0;
};

SQL_TIMESTAMP_STRUCT toTimestamp(DateTime value) {
    const DateTimeParts p = value.parts();
    SQL_TIMESTAMP_STRUCT ts{};
    ts.year = static_cast<SQLSMALLINT>(p.year);
    ts.month = static_cast<SQLUSMALLINT>(p.month);
    ts.day = static_cast<SQLUSMALLINT>(p.day);
    ts.hour = static_cast<SQLUSMALLINT>(p.hour);
    ts.minute = static_cast<SQLUSMALLINT>(p.minute);
    ts.second = static_cast<SQLUSMALLINT>(p.second);
    ts.fraction = static_cast<SQLUINTEGER>(p.millisecond) * 1'000'000u;
    return ts;
}

void bindParameter(SQLHSTMT stmt, SQLUSMALLINT index, const BindValue& value, ParamBuffer& buf) {
    SQLSMALLINT cType = SQL_C_CHAR;
    SQLSMALLINT sqlType = SQL_VARCHAR;
    SQLULEN columnSize = 0;
    SQLSMALLINT digits = 0;
    SQLPOINTER data = nullptr;
    SQLLEN bufferLength = 0;
    switch (value.kind) {
        case BindValue::Kind::Null:
            buf.indicator = SQL_NULL_DATA;
            switch (value.declared) {
                case definitions::ParamType::String:
                    columnSize = 16;
                    break;
                case definitions::ParamType::Integer:
                    sqlType = SQL_INTEGER;
                    break;
                case definitions::ParamType::Float:
                    sqlType = SQL_DOUBLE;
                    break;
                case definitions::ParamType::Date:
                case definitions::ParamType::DateTime:
                    sqlType = SQL_TYPE_TIMESTAMP, columnSize = 23, digits = 3;
                    break;
            }
            data = buf.chars.data();
            break;
        case BindValue::Kind::Text:
            // Wide on the client side so no code page mangles the text; the
            // server still sees a VARCHAR, so indexes on VARCHAR columns apply.
            buf.wide = toWide(value.text());
            cType = SQL_C_WCHAR;
            columnSize = std::max<SQLULEN>(buf.wide.size(), 16);
            if (columnSize > 8000) sqlType = SQL_LONGVARCHAR;
            data = wide(buf.wide);
            bufferLength = static_cast<SQLLEN>(buf.wide.size() * sizeof(char16_t));
            buf.indicator = bufferLength;
            break;
        case BindValue::Kind::Integer:
            buf.integer = value.integer;
            cType = SQL_C_SBIGINT;
            sqlType =
                value.integer >= INT32_MIN && value.integer <= INT32_MAX ? SQL_INTEGER : SQL_BIGINT;
            data = &buf.integer;
            break;
        case BindValue::Kind::Float:
            buf.real = value.real;
            cType = SQL_C_DOUBLE;
            sqlType = SQL_DOUBLE;
            columnSize = 15;
            data = &buf.real;
            break;
        case BindValue::Kind::Decimal:
            buf.chars = value.decimal.toString();
            sqlType = SQL_DECIMAL;
            columnSize = 18;
            digits = static_cast<SQLSMALLINT>(value.decimal.scale);
            data = buf.chars.data();
            bufferLength = static_cast<SQLLEN>(buf.chars.size());
            buf.indicator = bufferLength;
            break;
        case BindValue::Kind::Date:
        case BindValue::Kind::DateTime:
            buf.timestamp = toTimestamp(value.dateTime);
            cType = SQL_C_TYPE_TIMESTAMP;
            sqlType = SQL_TYPE_TIMESTAMP;
            columnSize = 23;
            digits = 3;
            data = &buf.timestamp;
            break;
        case BindValue::Kind::Boolean:
            buf.bit = value.integer != 0 ? 1 : 0;
            cType = SQL_C_BIT;
            sqlType = SQL_BIT;
            columnSize = 1;
            data = &buf.bit;
            break;
        case BindValue::Kind::Blob:
            cType = SQL_C_BINARY;
            sqlType = value.blob->size() > 8000 ? SQL_LONGVARBINARY : SQL_VARBINARY;
            columnSize = std::max<SQLULEN>(value.blob->size(), 1);
            data = const_cast<std::uint8_t*>(value.blob->data());
            bufferLength = static_cast<SQLLEN>(value.blob->size());
            buf.indicator = bufferLength;
            break;
    }
    check(SQLBindParameter(stmt, index, SQL_PARAM_INPUT, cType, sqlType, columnSize, digits, data,
                           bufferLength, &buf.indicator),
          SQL_HANDLE_STMT, stmt);
}

}  // namespace

struct OdbcBackend::Prepared {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    std::vector<std::string> names;  // parameter name of each '?' marker

    Prepared() = default;
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    ~Prepared() {
        if (stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    }
};

namespace {

// Binds the parameters, executes, and on leaving closes the cursor and drops
// the bindings so the statement can run again.
class Execution {
  public:
    Execution(SQLHSTMT stmt, const std::vector<std::string>& names, const ParamResolver& params)
        : stmt_(stmt), buffers_(names.size()) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            values_.push_back(params.resolve(names[i]));
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            bindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), values_[i], buffers_[i]);
        }
        const SQLRETURN rc = SQLExecute(stmt);
        // A searched UPDATE or DELETE that matches no row answers SQL_NO_DATA.
        if (rc != SQL_NO_DATA) check(rc, SQL_HANDLE_STMT, stmt);
    }
    ~Execution() {
        SQLFreeStmt(stmt_, SQL_CLOSE);
        SQLFreeStmt(stmt_, SQL_RESET_PARAMS);
    }
    Execution(const Execution&) = delete;
    Execution& operator=(const Execution&) = delete;

    SQLSMALLINT columnCount() const {
        SQLSMALLINT count = 0;
        check(SQLNumResultCols(stmt_, &count), SQL_HANDLE_STMT, stmt_);
        return count;
    }
    // Moves to the next result of a batch; false when there is none.
    bool nextResult() {
        const SQLRETURN rc = SQLMoreResults(stmt_);
        if (rc == SQL_NO_DATA) return false;
        check(rc, SQL_HANDLE_STMT, stmt_);
        return true;
    }

  private:
    SQLHSTMT stmt_;
    std::vector<BindValue> values_;
    std::vector<ParamBuffer> buffers_;
};

Dataset readResult(SQLHSTMT stmt, SQLSMALLINT columnCount) {
    std::vector<FieldDef> fields;
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(columnCount); ++i) {
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameLength = 0, sqlType = 0, digits = 0, nullable = 0;
        SQLULEN columnSize = 0;
        check(SQLDescribeColW(stmt, i, name, SQLSMALLINT(std::size(name)), &nameLength, &sqlType,
                              &columnSize, &digits, &nullable),
              SQL_HANDLE_STMT, stmt);
        FieldDef def = fieldFromSqlType(sqlType, columnSize, digits);
        const auto chars =
            static_cast<std::size_t>(std::clamp<SQLSMALLINT>(nameLength, 0, std::size(name) - 1));
        def.name = toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(name), chars));
        fields.push_back(std::move(def));
    }
    Dataset result(fields);
    for (;;) {
        const SQLRETURN rc = SQLFetch(stmt);
        if (rc == SQL_NO_DATA) break;
        check(rc, SQL_HANDLE_STMT, stmt);
        Row row;
        row.reserve(fields.size());
        for (std::size_t i = 0; i < fields.size(); ++i) {
            row.push_back(readValue(stmt, static_cast<SQLUSMALLINT>(i + 1), fields[i]));
        }
        result.rows().push_back(std::move(row));
    }
    return result;
}

}  // namespace

OdbcBackend::OdbcBackend(const ConnectionTarget& target) {
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        throw DatabaseError("Cannot allocate an ODBC environment");
    }
    env_ = env;
    try {
        check(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                            0),
              SQL_HANDLE_ENV, env);
        SQLHDBC dbc = SQL_NULL_HDBC;
        check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_HANDLE_ENV, env);
        dbc_ = dbc;
        WideString text = toWide(target.odbcConnectionString);
        check(SQLDriverConnectW(dbc, nullptr, wide(text), SQLSMALLINT(text.size()), nullptr, 0,
                                nullptr, SQL_DRIVER_NOPROMPT),
              SQL_HANDLE_DBC, dbc);
        connected_ = true;
    } catch (...) {
        if (dbc_ != nullptr) SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
        throw;
    }
}

OdbcBackend::~OdbcBackend() {
    cache_.clear();
    if (connected_) {
        if (inTransaction_) SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
        SQLDisconnect(dbc_);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

OdbcBackend::Prepared& OdbcBackend::prepare(std::string_view sql) {
    if (auto it = cache_.find(sql); it != cache_.end()) return *it->second;
    if (cache_.size() >= kMaxCachedStatements) cache_.clear();

    auto prepared = std::make_unique<Prepared>();
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    check(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt), SQL_HANDLE_DBC, dbc_);
    prepared->stmt = stmt;
    // No command time-out: a statement waits as long as the server needs.
    SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(0), SQL_IS_UINTEGER);
    PositionalSql positional = toPositional(sql);
    WideString text = toWide(positional.text);
    check(SQLPrepareW(stmt, wide(text), static_cast<SQLINTEGER>(text.size())), SQL_HANDLE_STMT,
          stmt);
    prepared->names = std::move(positional.names);
    auto& slot = cache_[std::string(sql)];
    slot = std::move(prepared);
    return *slot;
}

Dataset OdbcBackend::query(std::string_view sql, const ParamResolver& params) {
    Prepared& prepared = prepare(sql);
    Execution execution(prepared.stmt, prepared.names, params);
    // The first result that has columns; statements before it run for their effect.
    do {
        const SQLSMALLINT columns = execution.columnCount();
        if (columns > 0) return readResult(prepared.stmt, columns);
    } while (execution.nextResult());
    return Dataset();
}

std::int64_t OdbcBackend::execute(std::string_view sql, const ParamResolver& params) {
    Prepared& prepared = prepare(sql);
    Execution execution(prepared.stmt, prepared.names, params);
    std::int64_t affected = 0;
    do {
        if (execution.columnCount() == 0) {
            SQLLEN count = 0;
            if (SQL_SUCCEEDED(SQLRowCount(prepared.stmt, &count)) && count > 0) affected += count;
        }
    } while (execution.nextResult());
    return affected;
}

void OdbcBackend::begin() {
    if (inTransaction_) return;
    check(SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER),
          SQL_HANDLE_DBC, dbc_);
    inTransaction_ = true;
}

void OdbcBackend::endTransaction(bool commit) {
    const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_, commit ? SQL_COMMIT : SQL_ROLLBACK);
    // A failed commit leaves the transaction open for the caller's rollback.
    if (commit && !SQL_SUCCEEDED(rc)) check(rc, SQL_HANDLE_DBC, dbc_);
    inTransaction_ = false;
    const SQLRETURN autocommit =
        SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), SQL_IS_UINTEGER);
    check(rc, SQL_HANDLE_DBC, dbc_);
    check(autocommit, SQL_HANDLE_DBC, dbc_);
}

void OdbcBackend::commit() {
    endTransaction(true);
}

void OdbcBackend::rollback() {
    endTransaction(false);
}

}  // namespace qel::db::odbc
