#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/clock.h"
#include "db/backend.h"
#include "db/connection_string.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qel::db::sqlite {

// The embedded station database: one SQLite file, opened in WAL mode with a
// busy timeout so that a write lock held by the point-of-sale program makes
// the agent wait rather than fail. Transactions begin IMMEDIATE: the write
// lock is taken (or waited for) at the start, so a routine that reads and then
// writes never fails half-way because another process wrote in between.
// GETDATE() and the other SQL Server functions the statements use are
// registered with the connection's clock.
class SqliteBackend final : public Backend {
  public:
    // Opens target.databasePath; throws DatabaseError when it cannot.
    SqliteBackend(const ConnectionTarget& target, const Clock& clock,
                  const ConnectionOptions& options);
    ~SqliteBackend() override;

    void begin() override;
    void commit() override;
    void rollback() override;
    bool inTransaction() const override;
    void beginRead() override;
    void endRead() override;

    Dataset query(std::string_view sql, const ParamResolver& params) override;
    std::int64_t execute(std::string_view sql, const ParamResolver& params) override;

    // ATTACHes "<folder>/<name>.db" AS name.
    void attachCatalog(std::string_view name) override;
    void detachCatalog(std::string_view name) override;

    sqlite3* handle() const { return db_; }

  private:
    struct Column {
        std::string name;
        std::optional<FieldDef> declared;  // nullopt: typed by the values read
    };
    // One SQL statement of a text (a text may hold several).
    struct Part {
        sqlite3_stmt* stmt = nullptr;
        std::vector<std::string> paramNames;  // by bind index - 1, without ':'
        std::vector<Column> columns;
    };
    struct Prepared {
        std::vector<Part> parts;
        ~Prepared();
    };
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const {
            return std::hash<std::string_view>()(s);
        }
    };

    Prepared& prepare(std::string_view sql);
    std::unique_ptr<Prepared> prepareParts(std::string_view sql);
    void bind(const Part& part, const ParamResolver& params);
    Dataset read(const Part& part);
    void runToEnd(const Part& part);
    void runSimple(std::string_view sql);
    [[noreturn]] void fail(int rc) const;

    sqlite3* db_ = nullptr;
    std::string folder_;
    bool createDatabase_ = false;
    std::unordered_map<std::string, std::unique_ptr<Prepared>, TextHash, std::equal_to<>> cache_;
};

}  // namespace qel::db::sqlite
