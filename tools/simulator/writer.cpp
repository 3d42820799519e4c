#include "simulator/writer.h"

namespace qel::simulator {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

void bindValue(sqlite3_stmt* stmt, int index, const Value& value) {
    std::visit(Overloaded{
                   [&](const Null&) { sqlite3_bind_null(stmt, index); },
                   [&](std::int64_t v) { sqlite3_bind_int64(stmt, index, v); },
                   [&](double v) { sqlite3_bind_double(stmt, index, v); },
                   [&](const std::string& v) {
                       sqlite3_bind_text(stmt, index, v.data(), static_cast<int>(v.size()),
                                         SQLITE_TRANSIENT);
                   },
                   [&](Cents v) { sqlite3_bind_double(stmt, index, v.value / 100.0); },
                   [&](Price v) { sqlite3_bind_double(stmt, index, v.value / 1000.0); },
                   [&](Quantity v) { sqlite3_bind_double(stmt, index, v.value / 10000.0); },
                   [&](Rate v) { sqlite3_bind_double(stmt, index, v.value / 10000.0); },
               },
               value);
}

}  // namespace

void execute(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message != nullptr ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw DatabaseError(text);
    }
}

Writer::~Writer() {
    for (auto& [table, stmt] : statements_) sqlite3_finalize(stmt);
}

sqlite3_stmt* Writer::statementFor(const char* table, std::initializer_list<Field> fields) {
    const auto found = statements_.find(std::string_view(table));
    if (found != statements_.end()) return found->second;
    std::string sql = "INSERT INTO ";
    sql += table;
    sql += " (";
    std::string marks;
    for (const Field& field : fields) {
        if (!marks.empty()) {
            sql += ", ";
            marks += ", ";
        }
        sql += field.column;
        marks += "?";
    }
    sql += ") VALUES (" + marks + ")";
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
        SQLITE_OK) {
        throw DatabaseError(std::string(sqlite3_errmsg(db_)) + " in: " + sql);
    }
    statements_.emplace(table, stmt);
    return stmt;
}

void Writer::insert(const char* table, std::initializer_list<Field> fields) {
    sqlite3_stmt* stmt = statementFor(table, fields);
    if (sqlite3_bind_parameter_count(stmt) != static_cast<int>(fields.size())) {
        throw DatabaseError(std::string("inconsistent column list for ") + table);
    }
    int index = 1;
    for (const Field& field : fields) bindValue(stmt, index++, field.value);
    if (sqlite3_step(stmt) != SQLITE_DONE) {
        std::string message = std::string(table) + ": " + sqlite3_errmsg(db_);
        sqlite3_reset(stmt);
        throw DatabaseError(message);
    }
    sqlite3_reset(stmt);
    ++rows_;
}

}  // namespace qel::simulator
