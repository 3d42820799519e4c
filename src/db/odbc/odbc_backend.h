#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/backend.h"
#include "db/connection_string.h"

namespace qel::db::odbc {

// A database reached through an ODBC driver manager: SQL Server through
// Microsoft's driver or FreeTDS in production, any driver under test. Named
// parameters are rewritten to positional markers and bound at each position;
// statements are prepared once per text and reused. Transactions switch
// auto-commit off until they end. Driver diagnostics (SQLSTATE records)
// become the DatabaseError message.
class OdbcBackend final : public Backend {
  public:
    // Connects with target.odbcConnectionString; throws DatabaseError.
    explicit OdbcBackend(const ConnectionTarget& target);
    ~OdbcBackend() override;

    void begin() override;
    void commit() override;
    void rollback() override;
    bool inTransaction() const override { return inTransaction_; }

    Dataset query(std::string_view sql, const ParamResolver& params) override;
    std::int64_t execute(std::string_view sql, const ParamResolver& params) override;

    // The server resolves other catalogues itself ("CATALOG.dbo.TABLE").
    void attachCatalog(std::string_view) override {}
    void detachCatalog(std::string_view) override {}

  private:
    struct Prepared;
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const {
            return std::hash<std::string_view>()(s);
        }
    };

    Prepared& prepare(std::string_view sql);
    void endTransaction(bool commit);

    void* env_ = nullptr;  // SQLHENV
    void* dbc_ = nullptr;  // SQLHDBC
    bool connected_ = false;
    bool inTransaction_ = false;
    std::unordered_map<std::string, std::unique_ptr<Prepared>, TextHash, std::equal_to<>> cache_;
};

}  // namespace qel::db::odbc
