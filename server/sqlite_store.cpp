#include <sqlite3.h>

#include <mutex>

#include "central_store.h"
#include "core/error.h"
#include "key_digest.h"
#include "sqlite_fleet.h"

namespace qel::server {
namespace {

constexpr const char* kSettings = R"sql(
PRAGMA journal_mode = WAL;
PRAGMA synchronous = NORMAL;
)sql";

// Rows are kept in a rowid table and found through a unique index of their
// table, the first 64 bytes of their key and the key's digest: a bounded
// entry whatever the size of the key or the content, so a search never reads
// another row's content, ordered like the keys so that a station's rows
// stay together in the index.
constexpr const char* kExportRowTable = R"sql(
CREATE TABLE IF NOT EXISTS export_row (
    table_name  TEXT NOT NULL,
    key_prefix  BLOB NOT NULL,
    key_digest  BLOB NOT NULL,
    row_key     BLOB NOT NULL,
    store       TEXT NOT NULL,
    station     TEXT NOT NULL,
    content     BLOB NOT NULL,
    received_at REAL NOT NULL
);
)sql";

constexpr const char* kSchema = R"sql(
CREATE UNIQUE INDEX IF NOT EXISTS export_row_by_key
    ON export_row (table_name, key_prefix, key_digest);
CREATE TABLE IF NOT EXISTS station_cleanup (
    store      TEXT NOT NULL,
    station    TEXT NOT NULL,
    cleaned_at REAL NOT NULL
);
CREATE INDEX IF NOT EXISTS station_cleanup_by_station ON station_cleanup (store, station, cleaned_at);
CREATE TABLE IF NOT EXISTS station_date (
    store       TEXT NOT NULL,
    station     TEXT NOT NULL,
    name        TEXT NOT NULL,
    value       REAL,
    received_at REAL NOT NULL,
    PRIMARY KEY (store, station, name)
);
CREATE TABLE IF NOT EXISTS station_request (
    kind        TEXT NOT NULL,
    store       TEXT NOT NULL,
    station     TEXT NOT NULL,
    day         REAL NOT NULL,
    argument    TEXT NOT NULL,
    received_at REAL NOT NULL,
    PRIMARY KEY (kind, store, station, day, argument)
);
)sql";

// A prepared statement reset on scope exit, so an early throw leaves it reusable.
class Stmt {
  public:
    Stmt() = default;
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) !=
            SQLITE_OK) {
            throw DatabaseError(std::string("Central store: ") + sqlite3_errmsg(db));
        }
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    ~Stmt() { sqlite3_finalize(stmt_); }

    sqlite3_stmt* get() { return stmt_; }
    void text(int i, std::string_view s) {
        sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_STATIC);
    }
    void blob(int i, std::span<const std::uint8_t> b) {
        sqlite3_bind_blob(stmt_, i, b.empty() ? "" : static_cast<const void*>(b.data()),
                          static_cast<int>(b.size()), SQLITE_STATIC);
    }
    void real(int i, double v) { sqlite3_bind_double(stmt_, i, v); }
    void null(int i) { sqlite3_bind_null(stmt_, i); }
    // Steps once; true when a row is available.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw DatabaseError(std::string("Central store: ") + sqlite3_errmsg(db_));
    }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

struct ResetGuard {
    Stmt& s;
    ~ResetGuard() { s.reset(); }
};

class SqliteStore final : public CentralStore {
  public:
    explicit SqliteStore(const std::filesystem::path& file) {
        if (sqlite3_open_v2(file.string().c_str(), &db_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw DatabaseError("Central store " + file.string() + ": " + message);
        }
        sqlite3_busy_timeout(db_, 10000);
        registerKeyDigest(db_);
        exec(kSettings);
        // One transaction for the schema, so that a second server opening the
        // same file at once waits for the first one's migration.
        exec("BEGIN IMMEDIATE");
        try {
            migrateToKeyDigests();
            exec(kExportRowTable);
            exec(kSchema);
            exec(sqlite_fleet::kSaleDayTable);
            exec(sqlite_fleet::kSchema);
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        // The stored row is replaced only when its content changed, and
        // never by a row of another key with the same digest.
        upsertRow_ = std::make_unique<Stmt>(
            db_,
            "INSERT INTO export_row (table_name, key_prefix, key_digest, row_key, store, station, "
            "content, received_at) VALUES (?1, substr(?2, 1, 64), qel_key_digest(?2), ?2, ?3, "
            "?4, ?5, ?6) ON CONFLICT (table_name, key_prefix, key_digest) DO UPDATE SET "
            "store = excluded.store, "
            "station = excluded.station, content = excluded.content, "
            "received_at = excluded.received_at "
            "WHERE content IS NOT excluded.content AND row_key = excluded.row_key");
        getRow_ = std::make_unique<Stmt>(
            db_,
            "SELECT content FROM export_row WHERE table_name = ?1 "
            "AND key_prefix = substr(?2, 1, 64) AND key_digest = qel_key_digest(?2) "
            "AND row_key = ?2");
        statements_ = std::make_unique<sqlite_fleet::StatementCache>(db_);
        upsertDate_ = std::make_unique<Stmt>(
            db_,
            "INSERT INTO station_date (store, station, name, value, received_at) "
            "VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (store, station, name) DO UPDATE SET "
            "value = excluded.value, received_at = excluded.received_at");
    }

    ~SqliteStore() override {
        statements_.reset();
        upsertRow_.reset();
        getRow_.reset();
        upsertDate_.reset();
        sqlite3_close(db_);
    }

    std::int64_t putBatch(const InsertBatch& batch) override {
        std::lock_guard lock(mutex_);
        exec("BEGIN IMMEDIATE");
        try {
            Stmt& s = *upsertRow_;
            TableCounts stored;  // an unchanged row is no change: the upsert skips it
            std::int64_t total = 0;
            for (const StoredRow& row : batch.rows) {
                ResetGuard guard{s};
                s.text(1, row.table);
                s.blob(2, row.key);
                s.text(3, batch.store);
                s.text(4, batch.station);
                s.blob(5, row.content);
                s.real(6, batch.receivedAt.value());
                s.step();
                if (sqlite3_changes(db_) == 0) continue;
                if (stored.empty() || stored.back().first != row.table) {
                    stored.emplace_back(row.table, 0);
                }
                ++stored.back().second;
                ++total;
            }
            for (const StationDate& date : batch.dates) {
                putDate(batch.store, batch.station, date, batch.receivedAt);
            }
            sqlite_fleet::writeBatch(*statements_, db_, batch, stored);
            exec("COMMIT");
            return total;
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    std::vector<std::optional<Bytes>> getContents(const std::vector<RowRef>& refs) override {
        std::lock_guard lock(mutex_);
        std::vector<std::optional<Bytes>> out;
        out.reserve(refs.size());
        // One read transaction so the answer is one consistent snapshot.
        exec("BEGIN");
        try {
            Stmt& s = *getRow_;
            for (const RowRef& ref : refs) {
                ResetGuard guard{s};
                s.text(1, ref.table);
                s.blob(2, ref.key);
                if (s.step()) {
                    const auto* p =
                        static_cast<const std::uint8_t*>(sqlite3_column_blob(s.get(), 0));
                    const int n = sqlite3_column_bytes(s.get(), 0);
                    out.emplace_back(Bytes(p, p + n));
                } else {
                    out.emplace_back(std::nullopt);
                }
            }
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        return out;
    }

    std::optional<DateTime> lastCleanup(std::string_view store, std::string_view station) override {
        std::lock_guard lock(mutex_);
        Stmt s(db_,
               "SELECT MAX(cleaned_at) FROM station_cleanup WHERE store = ?1 AND station = ?2");
        s.text(1, store);
        s.text(2, station);
        if (s.step() && sqlite3_column_type(s.get(), 0) != SQLITE_NULL) {
            return DateTime(sqlite3_column_double(s.get(), 0));
        }
        return std::nullopt;
    }

    void recordCleanup(std::string_view store, std::string_view station, DateTime at) override {
        std::lock_guard lock(mutex_);
        Stmt s(db_, "INSERT INTO station_cleanup (store, station, cleaned_at) VALUES (?1, ?2, ?3)");
        s.text(1, store);
        s.text(2, station);
        s.real(3, at.value());
        s.step();
    }

    void recordRequest(std::string_view kind, std::string_view store, std::string_view station,
                       DateTime day, std::string_view argument, DateTime receivedAt) override {
        std::lock_guard lock(mutex_);
        Stmt s(db_,
               "INSERT INTO station_request (kind, store, station, day, argument, received_at) "
               "VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO UPDATE SET "
               "received_at = excluded.received_at");
        s.text(1, kind);
        s.text(2, store);
        s.text(3, station);
        s.real(4, day.value());
        s.text(5, argument);
        s.real(6, receivedAt.value());
        s.step();
    }

    void recordDate(std::string_view store, std::string_view station, const StationDate& date,
                    DateTime receivedAt) override {
        std::lock_guard lock(mutex_);
        putDate(store, station, date, receivedAt);
    }

    std::int64_t rowCount(std::string_view table) override {
        std::lock_guard lock(mutex_);
        Stmt s(db_, table.empty() ? "SELECT COUNT(*) FROM export_row"
                                  : "SELECT COUNT(*) FROM export_row WHERE table_name = ?1");
        if (!table.empty()) s.text(1, table);
        s.step();
        return sqlite3_column_int64(s.get(), 0);
    }

    std::int64_t requestCount(std::string_view kind) override {
        std::lock_guard lock(mutex_);
        Stmt s(db_, "SELECT COUNT(*) FROM station_request WHERE kind = ?1");
        s.text(1, kind);
        s.step();
        return sqlite3_column_int64(s.get(), 0);
    }

    std::optional<DateTime> reportedDate(std::string_view store, std::string_view station,
                                         std::string_view name) override {
        std::lock_guard lock(mutex_);
        Stmt s(db_,
               "SELECT value FROM station_date WHERE store = ?1 AND station = ?2 AND name = ?3");
        s.text(1, store);
        s.text(2, station);
        s.text(3, name);
        if (s.step() && sqlite3_column_type(s.get(), 0) != SQLITE_NULL) {
            return DateTime(sqlite3_column_double(s.get(), 0));
        }
        return std::nullopt;
    }

    void touchStation(std::string_view store, std::string_view station, DateTime at) override {
        std::lock_guard lock(mutex_);
        sqlite_fleet::touch(*statements_, db_, store, station, at);
    }

    std::vector<StationStatus> fleet(DateTime today, DateTime since) override {
        std::lock_guard lock(mutex_);
        exec("BEGIN");
        try {
            auto out = sqlite_fleet::read(db_, today, since);
            exec("COMMIT");
            return out;
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    std::vector<DayShortfall> findShortDays(std::string_view store, std::string_view station,
                                            DateTime since, DateTime at) override {
        std::lock_guard lock(mutex_);
        exec("BEGIN IMMEDIATE");
        try {
            auto out = sqlite_fleet::findShortDays(db_, store, station, since, at);
            exec("COMMIT");
            return out;
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

  private:
    bool hasColumn(const char* table, const char* column) {
        Stmt s(db_, "SELECT COUNT(*) FROM pragma_table_info(?1) WHERE name = ?2");
        s.text(1, table);
        s.text(2, column);
        s.step();
        return sqlite3_column_int64(s.get(), 0) > 0;
    }

    // Files of an earlier layout (the key itself as the primary key of a
    // WITHOUT ROWID table, or an index of the key digest alone) have their
    // rows copied into the present layout, once. REQUIRES: inside the
    // schema transaction.
    void migrateToKeyDigests() {
        if (hasColumn("export_row", "row_key") && !hasColumn("export_row", "key_prefix")) {
            exec("ALTER TABLE export_row RENAME TO export_row_keyed");
            exec(kExportRowTable);
            exec(
                "INSERT INTO export_row (table_name, key_prefix, key_digest, row_key, store, "
                "station, content, received_at) SELECT table_name, substr(row_key, 1, 64), "
                "qel_key_digest(row_key), row_key, store, station, content, received_at "
                "FROM export_row_keyed");
            exec("DROP TABLE export_row_keyed");
        }
        if (hasColumn("sale_day", "row_key")) {
            exec("ALTER TABLE sale_day RENAME TO sale_day_keyed");
            exec(sqlite_fleet::kSaleDayTable);
            exec(
                "INSERT INTO sale_day (key_digest, store, station, day, amount) "
                "SELECT qel_key_digest(row_key), store, station, day, amount FROM sale_day_keyed");
            exec("DROP TABLE sale_day_keyed");
        }
    }

    void exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : "unknown error";
            sqlite3_free(error);
            throw DatabaseError("Central store: " + message);
        }
    }

    // REQUIRES: mutex_ held.
    void putDate(std::string_view store, std::string_view station, const StationDate& date,
                 DateTime receivedAt) {
        Stmt& s = *upsertDate_;
        ResetGuard guard{s};
        s.text(1, store);
        s.text(2, station);
        s.text(3, date.name);
        if (date.value) {
            s.real(4, date.value->value());
        } else {
            s.null(4);
        }
        s.real(5, receivedAt.value());
        s.step();
    }

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<Stmt> upsertRow_, getRow_, upsertDate_;
    std::unique_ptr<sqlite_fleet::StatementCache> statements_;
};

}  // namespace

std::unique_ptr<CentralStore> openSqliteStore(const std::filesystem::path& file) {
    return std::make_unique<SqliteStore>(file);
}

}  // namespace qel::server
