#include "central_rows.h"

#include "central_store.h"
#include "postgres_connection.h"
#include "sqlite_file.h"

namespace qel::chaos {
namespace {

constexpr const char* kSelect =
    "SELECT row_key, content, store, station FROM export_row WHERE table_name = ";

constexpr const char* kTotals =
    "SELECT COUNT(*), COALESCE(SUM(LENGTH(content)), 0) FROM export_row";

class SqliteCentral final : public CentralRows {
  public:
    explicit SqliteCentral(const std::string& file) : db_(file, true) {}
    std::vector<CentralRow> table(std::string_view name) override {
        std::vector<CentralRow> rows;
        db_.query(std::string(kSelect) + "?", {std::string(name)}, [&](sqlite3_stmt* stmt) {
            rows.push_back(
                {blob(stmt, 0), blob(stmt, 1), columnText(stmt, 2), columnText(stmt, 3)});
        });
        return rows;
    }
    std::pair<std::int64_t, std::int64_t> totals() override {
        std::pair<std::int64_t, std::int64_t> out;
        db_.query(kTotals, {}, [&](sqlite3_stmt* stmt) {
            out = {sqlite3_column_int64(stmt, 0), sqlite3_column_int64(stmt, 1)};
        });
        return out;
    }

  private:
    static Bytes blob(sqlite3_stmt* stmt, int column) {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, column));
        return p ? Bytes(p, p + sqlite3_column_bytes(stmt, column)) : Bytes();
    }
    SqliteFile db_;
};

class PostgresCentral final : public CentralRows {
  public:
    explicit PostgresCentral(const std::string& uri) : db_(uri) {}
    std::vector<CentralRow> table(std::string_view name) override {
        const std::string sql = std::string(kSelect) + "$1";
        const auto result = db_.exec(sql.c_str(), {server::pg::Param::of(name)}, true);
        std::vector<CentralRow> rows;
        for (int r = 0; r < result.rows(); ++r) {
            const auto key = result.bytes(r, 0), content = result.bytes(r, 1);
            const auto store = result.bytes(r, 2), station = result.bytes(r, 3);
            rows.push_back({Bytes(key.begin(), key.end()), Bytes(content.begin(), content.end()),
                            std::string(store.begin(), store.end()),
                            std::string(station.begin(), station.end())});
        }
        return rows;
    }
    std::pair<std::int64_t, std::int64_t> totals() override {
        const auto result = db_.exec(kTotals);
        return {result.int64(0, 0), result.int64(0, 1)};
    }

  private:
    server::pg::Connection db_;
};

}  // namespace

std::unique_ptr<CentralRows> openCentralRows(const std::string& location) {
    if (server::isPostgresLocation(location)) return std::make_unique<PostgresCentral>(location);
    return std::make_unique<SqliteCentral>(location);
}

}  // namespace qel::chaos
