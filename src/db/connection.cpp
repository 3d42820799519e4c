#include "db/connection.h"

#include <algorithm>

#include "core/error.h"
#include "core/text.h"
#include "db/backend.h"
#include "db/connection_string.h"
#include "db/odbc/odbc_backend.h"
#include "db/sqlite/sqlite_backend.h"

namespace qel::db {
namespace {

std::string_view withoutColon(std::string_view name) {
    return !name.empty() && name.front() == ':' ? name.substr(1) : name;
}

}  // namespace

Params::Params(std::initializer_list<std::pair<std::string_view, Variant>> values) {
    for (const auto& [name, value] : values) set(name, value);
}

Params& Params::set(std::string_view name, Variant value) {
    name = withoutColon(name);
    for (Entry& entry : entries_) {
        if (text::iequals(entry.first, name)) {
            entry.second = std::move(value);
            return *this;
        }
    }
    entries_.emplace_back(std::string(name), std::move(value));
    return *this;
}

const Variant* Params::find(std::string_view name) const {
    name = withoutColon(name);
    for (const Entry& entry : entries_) {
        if (text::iequals(entry.first, name)) return &entry.second;
    }
    return nullptr;
}

Connection::Connection(const Clock& clock, std::string connectionString, ConnectionOptions options)
    : clock_(clock), connectionString_(std::move(connectionString)), options_(std::move(options)) {}

Connection::~Connection() = default;

void Connection::setConnectionString(std::string connectionString) {
    connectionString_ = std::move(connectionString);
}

void Connection::open() {
    if (backend_) return;
    if (beforeConnect_) beforeConnect_(*this);
    const ConnectionTarget target = resolveConnectionString(connectionString_, options_);
    std::unique_ptr<Backend> backend;
    if (target.backend == BackendKind::Sqlite) {
        backend = std::make_unique<sqlite::SqliteBackend>(target, clock_, options_);
    } else {
        backend = std::make_unique<odbc::OdbcBackend>(target);
    }
    for (const std::string& catalog : catalogs_) backend->attachCatalog(catalog);
    dialect_ = target.dialect;
    backend_ = std::move(backend);
}

void Connection::close() {
    readSnapshot_ = false;
    backend_.reset();
}

Dialect Connection::dialect() const {
    if (backend_) return dialect_;
    try {
        return resolveConnectionString(connectionString_, options_).dialect;
    } catch (const DatabaseError&) {
        return Dialect::SqlServer;
    }
}

std::string_view Connection::sqlText(const definitions::Statement& statement) const {
    return dialect() == Dialect::Sqlite ? statement.sqlite : statement.sqlServer;
}

Backend& Connection::ensureOpen() {
    open();
    return *backend_;
}

void Connection::startTransaction() {
    Backend& backend = ensureOpen();
    if (readSnapshot_) endReadSnapshot();
    if (!backend.inTransaction()) backend.begin();
}

void Connection::commitTransaction() {
    if (inTransaction()) backend_->commit();
}

void Connection::rollbackTransaction() {
    if (inTransaction()) backend_->rollback();
}

bool Connection::inTransaction() const {
    return backend_ && !readSnapshot_ && backend_->inTransaction();
}

void Connection::beginReadSnapshot() {
    Backend& backend = ensureOpen();
    if (readSnapshot_ || backend.inTransaction()) return;
    backend.beginRead();
    readSnapshot_ = true;
}

void Connection::endReadSnapshot() {
    if (!readSnapshot_) return;
    readSnapshot_ = false;
    if (backend_) backend_->endRead();
}

std::string_view Connection::textToRun(const definitions::Statement& statement) {
    ensureOpen();
    const std::string_view sql = sqlText(statement);
    if (text::trim(sql).empty()) {
        throw DatabaseError("Statement " + std::string(statement.name) +
                            " has no text for this database");
    }
    return sql;
}

Dataset Connection::query(const definitions::Statement& statement, const Params& params) {
    const std::string_view sql = textToRun(statement);
    if (beforeStatement_) beforeStatement_(sql);
    return backend_->query(sql, ParamResolver(&statement, params));
}

std::int64_t Connection::execute(const definitions::Statement& statement, const Params& params) {
    const std::string_view sql = textToRun(statement);
    if (beforeStatement_) beforeStatement_(sql);
    return backend_->execute(sql, ParamResolver(&statement, params));
}

Dataset Connection::query(std::string_view sql, const Params& params) {
    if (beforeStatement_) beforeStatement_(sql);
    return ensureOpen().query(sql, ParamResolver(nullptr, params));
}

std::int64_t Connection::execute(std::string_view sql, const Params& params) {
    if (beforeStatement_) beforeStatement_(sql);
    return ensureOpen().execute(sql, ParamResolver(nullptr, params));
}

void Connection::attachCatalog(std::string_view name) {
    const bool known = std::any_of(catalogs_.begin(), catalogs_.end(),
                                   [&](const std::string& c) { return text::iequals(c, name); });
    if (known) return;
    if (backend_) backend_->attachCatalog(name);
    catalogs_.emplace_back(name);
}

void Connection::detachCatalog(std::string_view name) {
    const auto known = std::find_if(catalogs_.begin(), catalogs_.end(),
                                    [&](const std::string& c) { return text::iequals(c, name); });
    if (known == catalogs_.end()) return;
    catalogs_.erase(known);
    if (backend_) backend_->detachCatalog(name);
}

}  // namespace qel::db
