#include "db/sqlite/sqlite_backend.h"

#include <sqlite3.h>

#include <charconv>
#include <filesystem>

#include "core/error.h"
#include "db/field_types.h"
#if defined(QEL_HAVE_SQLSERVER_FUNCTIONS)
#include "db/sqlite/sqlserver_functions.h"
#endif

namespace qel::db::sqlite {
namespace {

// Statements kept prepared per connection; a text built at run time beyond
// this many distinct texts empties the cache rather than growing it forever.
constexpr std::size_t kMaxCachedStatements = 512;

bool isBlank(std::string_view s) {
    return s.find_first_not_of(" \t\r\n;") == std::string_view::npos;
}

std::string_view columnText(sqlite3_stmt* stmt, int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
    return {p == nullptr ? "" : p, static_cast<std::size_t>(sqlite3_column_bytes(stmt, i))};
}

bool parseInteger(std::string_view s, std::int64_t& out) {
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && ptr == s.data() + s.size() && !s.empty();
}

// Reads a value of a column with a declared type as that type. A stored value
// that does not fit the declaration is kept in its own form rather than lost.
Variant readDeclared(sqlite3_stmt* stmt, int i, const FieldDef& def) {
    const int storage = sqlite3_column_type(stmt, i);
    if (storage == SQLITE_NULL) return Variant::null();
    switch (def.type) {
        case FieldType::String:
            return Variant(columnText(stmt, i));
        case FieldType::Integer: {
            if (storage == SQLITE_INTEGER)
                return Variant(static_cast<std::int64_t>(sqlite3_column_int64(stmt, i)));
            if (storage == SQLITE_FLOAT) return Variant(sqlite3_column_double(stmt, i));
            std::int64_t n = 0;
            if (parseInteger(columnText(stmt, i), n)) return Variant(n);
            return Variant(columnText(stmt, i));
        }
        case FieldType::Float:
            if (storage == SQLITE_TEXT || storage == SQLITE_BLOB) {
                return Variant(columnText(stmt, i));
            }
            return Variant(sqlite3_column_double(stmt, i));
        case FieldType::Decimal:
            try {
                // A REAL is the nearest binary value; its nearest decimal at the
                // declared scale is the value that was stored. Text and integers
                // are read exactly.
                if (storage == SQLITE_FLOAT) {
                    return Variant(Decimal::fromDouble(sqlite3_column_double(stmt, i), def.scale));
                }
                return Variant(Variant(Decimal::parse(columnText(stmt, i))).asDecimal(def.scale));
            } catch (const Error&) {
                return Variant(columnText(stmt, i));
            }
        case FieldType::Date:
        case FieldType::DateTime:
            if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT) {
                return Variant(DateTime(sqlite3_column_double(stmt, i)));
            }
            try {
                return Variant(DateTime::parse(columnText(stmt, i)));
            } catch (const Error&) {
                return Variant(columnText(stmt, i));
            }
        case FieldType::Boolean:
            if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT) {
                return Variant(sqlite3_column_int64(stmt, i) != 0);
            }
            try {
                return Variant(Variant(columnText(stmt, i)).asBoolean());
            } catch (const Error&) {
                return Variant(columnText(stmt, i));
            }
        case FieldType::Blob:
            break;
    }
    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, i));
    return Variant(Bytes(p, p + sqlite3_column_bytes(stmt, i)));
}

// Reads a value of an expression column in its storage form.
Variant readStored(sqlite3_stmt* stmt, int i) {
    switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_INTEGER:
            return Variant(static_cast<std::int64_t>(sqlite3_column_int64(stmt, i)));
        case SQLITE_FLOAT:
            return Variant(sqlite3_column_double(stmt, i));
        case SQLITE_TEXT:
            return Variant(columnText(stmt, i));
        case SQLITE_BLOB: {
            const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, i));
            return Variant(Bytes(p, p + sqlite3_column_bytes(stmt, i)));
        }
        default:
            return Variant::null();
    }
}

// Types an expression column from the values it delivered: integers stay
// Integer, numbers mixing integers and reals are Float, texts all in the
// stored date-time form are DateTime, other texts (or mixed kinds) String.
// A column with no value at all is a String.
void typeFromValues(std::vector<Row>& rows, std::size_t column, FieldDef& def) {
    bool integer = false, real = false, textual = false, dateTimes = true, blob = false;
    for (const Row& row : rows) {
        const Variant& v = row[column];
        switch (v.kind()) {
            case VariantKind::Integer:
                integer = true;
                break;
            case VariantKind::Float:
                real = true;
                break;
            case VariantKind::String:
                textual = true;
                dateTimes = dateTimes && isStoredDateTime(*v.get<std::string>());
                break;
            case VariantKind::Blob:
                blob = true;
                break;
            default:
                break;
        }
    }
    const int kinds = int(integer || real) + int(textual) + int(blob);
    if (kinds == 0) {
        def.type = FieldType::String;
    } else if (kinds > 1) {
        def.type = FieldType::String;
        for (Row& row : rows) {
            if (!row[column].isEmpty()) row[column] = Variant(row[column].asString());
        }
    } else if (blob) {
        def.type = FieldType::Blob;
    } else if (textual) {
        def.type = dateTimes ? FieldType::DateTime : FieldType::String;
        if (dateTimes) {
            for (Row& row : rows) {
                if (!row[column].isEmpty()) row[column] = Variant(row[column].asDateTime());
            }
        }
    } else if (real) {
        def.type = FieldType::Float;
        if (integer) {
            for (Row& row : rows) {
                if (!row[column].isEmpty()) row[column] = Variant(row[column].asFloat());
            }
        }
    } else {
        def.type = FieldType::Integer;
    }
}

// Resets a statement when the read or run ends, so that no read lock or
// bound value outlives the call.
class ResetGuard {
  public:
    explicit ResetGuard(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~ResetGuard() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    ResetGuard(const ResetGuard&) = delete;
    ResetGuard& operator=(const ResetGuard&) = delete;

  private:
    sqlite3_stmt* stmt_;
};

// The index named by SQLite's "no such index: NAME" message, or empty.
std::string_view missingIndex(std::string_view message) {
    constexpr std::string_view prefix = "no such index: ";
    return message.substr(0, prefix.size()) == prefix ? message.substr(prefix.size())
                                                      : std::string_view();
}

// `sql` without its "INDEXED BY <index>" hints; empty when it has none.
std::string withoutIndexHint(std::string_view sql, std::string_view index) {
    if (index.empty()) return {};
    const std::string hint = " INDEXED BY " + std::string(index);
    std::string out(sql);
    bool found = false;
    for (std::size_t at = out.find(hint); at != std::string::npos; at = out.find(hint, at)) {
        out.erase(at, hint.size());
        found = true;
    }
    return found ? out : std::string();
}

std::string quoteIdentifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

}  // namespace

SqliteBackend::Prepared::~Prepared() {
    for (Part& part : parts) sqlite3_finalize(part.stmt);
}

SqliteBackend::SqliteBackend(const ConnectionTarget& target, const Clock& clock,
                             const ConnectionOptions& options)
    : folder_(target.folder), createDatabase_(options.createDatabase) {
    // One thread uses a connection at a time (see Connection), so SQLite
    // need not lock the connection's mutex around every call: reading a
    // value alone took and released it three times.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (options.createDatabase) flags |= SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(target.databasePath.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw DatabaseError(message + ": " + target.databasePath);
    }
    try {
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, static_cast<int>(options.busyTimeout.count()));
        runSimple("PRAGMA journal_mode=WAL");
        runSimple(options.syncEveryCommit ? "PRAGMA synchronous=FULL"
                                          : "PRAGMA synchronous=NORMAL");
#if defined(QEL_HAVE_SQLSERVER_FUNCTIONS)
        registerSqlServerFunctions(db_, clock);
#else
        (void)clock;
#endif
    } catch (...) {
        sqlite3_close_v2(db_);
        throw;
    }
}

SqliteBackend::~SqliteBackend() {
    cache_.clear();
    if (db_ != nullptr) {
        // Closing with a transaction open rolls it back.
        sqlite3_close_v2(db_);
    }
}

void SqliteBackend::fail(int rc) const {
    const char* message = sqlite3_errmsg(db_);
    // A failed step has already recorded its message on the connection; an
    // error code without one (out of memory, misuse) still gets its text.
    throw DatabaseError(message != nullptr && *message != '\0' ? message : sqlite3_errstr(rc));
}

SqliteBackend::Prepared& SqliteBackend::prepare(std::string_view sql) {
    if (auto it = cache_.find(sql); it != cache_.end()) return *it->second;
    if (cache_.size() >= kMaxCachedStatements) cache_.clear();

    // An index a text names as a planner hint may be missing from an older
    // station database: the text then runs without the hint, planned freely.
    std::unique_ptr<Prepared> prepared;
    std::string withoutHints;
    for (;;) {
        try {
            prepared = prepareParts(withoutHints.empty() ? sql : withoutHints);
            break;
        } catch (const DatabaseError& e) {
            std::string stripped =
                withoutIndexHint(withoutHints.empty() ? sql : withoutHints, missingIndex(e.what()));
            if (stripped.empty()) throw;
            withoutHints = std::move(stripped);
        }
    }
    auto& slot = cache_[std::string(sql)];
    slot = std::move(prepared);
    return *slot;
}

std::unique_ptr<SqliteBackend::Prepared> SqliteBackend::prepareParts(std::string_view sql) {
    auto prepared = std::make_unique<Prepared>();
    const char* rest = sql.data();
    const char* end = sql.data() + sql.size();
    while (rest < end && !isBlank(std::string_view(rest, static_cast<std::size_t>(end - rest)))) {
        Part part;
        const char* tail = nullptr;
        const int rc = sqlite3_prepare_v3(db_, rest, static_cast<int>(end - rest),
                                          SQLITE_PREPARE_PERSISTENT, &part.stmt, &tail);
        if (rc != SQLITE_OK) fail(rc);
        rest = tail;
        if (part.stmt == nullptr) continue;  // a comment or a lone ';'
        prepared->parts.push_back(part);     // owned from here on

        const int paramCount = sqlite3_bind_parameter_count(part.stmt);
        for (int i = 1; i <= paramCount; ++i) {
            const char* name = sqlite3_bind_parameter_name(part.stmt, i);
            if (name == nullptr) {
                throw DatabaseError("Statement uses a nameless parameter; name it :NAME");
            }
            prepared->parts.back().paramNames.emplace_back(name + 1);
        }
        const int columnCount = sqlite3_column_count(part.stmt);
        for (int i = 0; i < columnCount; ++i) {
            Column column;
            column.name = sqlite3_column_name(part.stmt, i);
            if (const char* declared = sqlite3_column_decltype(part.stmt, i)) {
                column.declared = fieldFromDeclaredType(declared);
            }
            prepared->parts.back().columns.push_back(std::move(column));
        }
    }
    return prepared;
}

void SqliteBackend::bind(const Part& part, const ParamResolver& params) {
    for (std::size_t i = 0; i < part.paramNames.size(); ++i) {
        const int index = static_cast<int>(i) + 1;
        const BindValue value = params.resolve(part.paramNames[i]);
        int rc = SQLITE_OK;
        switch (value.kind) {
            case BindValue::Kind::Null:
                rc = sqlite3_bind_null(part.stmt, index);
                break;
            case BindValue::Kind::Text: {
                // The caller's own string outlives the run (the statement is
                // reset and its bindings cleared before the call returns), so
                // it need not be copied; a converted value must be.
                const std::string_view s = value.text();
                rc = sqlite3_bind_text64(
                    part.stmt, index, s.data(), s.size(),
                    value.borrowed != nullptr ? SQLITE_STATIC : SQLITE_TRANSIENT, SQLITE_UTF8);
                break;
            }
            case BindValue::Kind::Integer:
            case BindValue::Kind::Boolean:
                rc = sqlite3_bind_int64(part.stmt, index, value.integer);
                break;
            case BindValue::Kind::Float:
                rc = sqlite3_bind_double(part.stmt, index, value.real);
                break;
            case BindValue::Kind::Decimal: {
                // As text: a column of numeric affinity stores it as a number,
                // and no digit is lost on the way.
                const std::string s = value.decimal.toString();
                rc = sqlite3_bind_text64(part.stmt, index, s.data(), s.size(), SQLITE_TRANSIENT,
                                         SQLITE_UTF8);
                break;
            }
            case BindValue::Kind::Date:
            case BindValue::Kind::DateTime: {
                const std::string s = value.dateTime.toIso();
                rc = sqlite3_bind_text64(part.stmt, index, s.data(), s.size(), SQLITE_TRANSIENT,
                                         SQLITE_UTF8);
                break;
            }
            case BindValue::Kind::Blob:
                rc = sqlite3_bind_blob64(part.stmt, index, value.blob->data(), value.blob->size(),
                                         SQLITE_TRANSIENT);
                break;
        }
        if (rc != SQLITE_OK) fail(rc);
    }
}

Dataset SqliteBackend::read(const Part& part) {
    std::vector<FieldDef> fields(part.columns.size());
    for (std::size_t i = 0; i < part.columns.size(); ++i) {
        if (part.columns[i].declared) fields[i] = *part.columns[i].declared;
        fields[i].name = part.columns[i].name;
    }
    std::vector<Row> rows;
    const int columnCount = static_cast<int>(fields.size());
    for (;;) {
        const int rc = sqlite3_step(part.stmt);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) fail(rc);
        Row row;
        row.reserve(fields.size());
        for (int i = 0; i < columnCount; ++i) {
            const auto& declared = part.columns[static_cast<std::size_t>(i)].declared;
            row.push_back(declared ? readDeclared(part.stmt, i, *declared)
                                   : readStored(part.stmt, i));
        }
        rows.push_back(std::move(row));
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!part.columns[i].declared) typeFromValues(rows, i, fields[i]);
    }
    Dataset result(std::move(fields));
    result.rows() = std::move(rows);
    return result;
}

void SqliteBackend::runToEnd(const Part& part) {
    for (;;) {
        const int rc = sqlite3_step(part.stmt);
        if (rc == SQLITE_DONE) return;
        if (rc != SQLITE_ROW) fail(rc);
    }
}

Dataset SqliteBackend::query(std::string_view sql, const ParamResolver& params) {
    Prepared& prepared = prepare(sql);
    std::optional<Dataset> result;
    for (const Part& part : prepared.parts) {
        ResetGuard guard(part.stmt);
        bind(part, params);
        // The first statement that returns columns gives the result; the
        // others run for their effect.
        if (!result && !part.columns.empty()) {
            result = read(part);
        } else {
            runToEnd(part);
        }
    }
    return result ? std::move(*result) : Dataset();
}

std::int64_t SqliteBackend::execute(std::string_view sql, const ParamResolver& params) {
    Prepared& prepared = prepare(sql);
    std::int64_t affected = 0;
    for (const Part& part : prepared.parts) {
        ResetGuard guard(part.stmt);
        bind(part, params);
        const sqlite3_int64 before = sqlite3_total_changes64(db_);
        runToEnd(part);
        // Only an INSERT, UPDATE or DELETE moves the total; the last-statement
        // count then excludes rows changed by triggers.
        if (sqlite3_total_changes64(db_) != before) affected += sqlite3_changes64(db_);
    }
    return affected;
}

void SqliteBackend::runSimple(std::string_view sql) {
    Prepared& prepared = prepare(sql);
    for (const Part& part : prepared.parts) {
        ResetGuard guard(part.stmt);
        runToEnd(part);
    }
}

void SqliteBackend::begin() {
    runSimple("BEGIN IMMEDIATE");
}

void SqliteBackend::commit() {
    runSimple("COMMIT");
}

void SqliteBackend::rollback() {
    runSimple("ROLLBACK");
}

bool SqliteBackend::inTransaction() const {
    return sqlite3_get_autocommit(db_) == 0;
}

// A deferred transaction that only reads: each statement no longer takes
// and releases its own read lock, and all of them read the same snapshot.
void SqliteBackend::beginRead() {
    runSimple("BEGIN");
}

void SqliteBackend::endRead() {
    if (inTransaction()) runSimple("COMMIT");
}

void SqliteBackend::attachCatalog(std::string_view name) {
    const std::string path = catalogPath(folder_, name);
    std::error_code ec;
    if (!createDatabase_ && !std::filesystem::exists(path, ec)) {
        throw DatabaseError("Catalog " + std::string(name) + " not found: " + path);
    }
    sqlite3_stmt* stmt = nullptr;
    const std::string sql = "ATTACH DATABASE ?1 AS " + quoteIdentifier(name);
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_bind_text(stmt, 1, path.c_str(), -1, SQLITE_TRANSIENT);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) fail(rc);
}

void SqliteBackend::detachCatalog(std::string_view name) {
    runSimple("DETACH DATABASE " + quoteIdentifier(name));
}

}  // namespace qel::db::sqlite
