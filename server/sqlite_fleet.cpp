#include "sqlite_fleet.h"

#include <algorithm>
#include <memory>
#include <set>

#include "core/error.h"
#include "fleet_status.h"

namespace qel::server::sqlite_fleet {

// A sale is identified by the digest of its row key (see key_digest.h).
const char* const kSaleDayTable = R"sql(
CREATE TABLE IF NOT EXISTS sale_day (
    key_digest BLOB PRIMARY KEY,
    store      TEXT NOT NULL,
    station    TEXT NOT NULL,
    day        REAL NOT NULL,
    amount     INTEGER NOT NULL
) WITHOUT ROWID;
)sql";

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS station_activity (
    store         TEXT NOT NULL,
    station       TEXT NOT NULL,
    last_contact  REAL,
    last_transfer REAL,
    PRIMARY KEY (store, station)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS station_day_count (
    store      TEXT NOT NULL,
    station    TEXT NOT NULL,
    day        REAL NOT NULL,
    table_name TEXT NOT NULL,
    received   INTEGER NOT NULL,
    refused    INTEGER NOT NULL,
    PRIMARY KEY (day, store, station, table_name)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS sale_day_by_station ON sale_day (store, station, day);
CREATE TABLE IF NOT EXISTS day_summary (
    store       TEXT NOT NULL,
    station     TEXT NOT NULL,
    day         REAL NOT NULL,
    sales       INTEGER NOT NULL,
    amount      INTEGER NOT NULL,
    received_at REAL NOT NULL,
    PRIMARY KEY (store, station, day)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS day_summary_by_day ON day_summary (day);
CREATE TABLE IF NOT EXISTS day_repair (
    store     TEXT NOT NULL,
    station   TEXT NOT NULL,
    day       REAL NOT NULL,
    found_at  REAL NOT NULL,
    held_then INTEGER NOT NULL,
    resent    INTEGER NOT NULL,
    healed_at REAL,
    PRIMARY KEY (store, station, day, found_at)
) WITHOUT ROWID;
)sql";

namespace {

struct Finalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
        throw DatabaseError(std::string("Central store: ") + sqlite3_errmsg(db));
    }
    return Statement(s);
}

void text(sqlite3_stmt* s, int i, std::string_view v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

bool step(sqlite3* db, sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw DatabaseError(std::string("Central store: ") + sqlite3_errmsg(db));
}

void runOnce(sqlite3* db, sqlite3_stmt* s) {
    step(db, s);
    sqlite3_reset(s);
}

// A statement of the cache, reset and unbound when the scope ends.
class Reused {
  public:
    Reused(StatementCache& cache, const char* sql) : s_(cache.get(sql)) {}
    ~Reused() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    Reused(const Reused&) = delete;
    Reused& operator=(const Reused&) = delete;
    sqlite3_stmt* get() const { return s_; }

  private:
    sqlite3_stmt* s_;
};

std::string columnText(sqlite3_stmt* s, int i) {
    const auto* p = sqlite3_column_text(s, i);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
             : std::string();
}

std::optional<DateTime> columnDate(sqlite3_stmt* s, int i) {
    if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
    return DateTime(sqlite3_column_double(s, i));
}

// The station's days with a summary from `since` (or only `day`), held
// against reported. Held amounts are summed in two parts (above and below
// 10^9), each far from overflowing, and joined in 128 bits.
std::vector<DayShortfall> stationDays(sqlite3* db, std::string_view store, std::string_view station,
                                      DateTime since, std::optional<DateTime> day = std::nullopt) {
    auto d = prepare(db,
                     "SELECT s.day, s.sales, s.amount, COUNT(h.day), "
                     "COALESCE(SUM(h.amount / 1000000000), 0), "
                     "COALESCE(SUM(h.amount % 1000000000), 0) "
                     "FROM day_summary s LEFT JOIN sale_day h ON h.store = s.store AND "
                     "h.station = s.station AND h.day = s.day WHERE s.store = ?1 AND "
                     "s.station = ?2 AND s.day >= ?3 AND (?4 IS NULL OR s.day = ?4) "
                     "GROUP BY s.day ORDER BY s.day");
    text(d.get(), 1, store);
    text(d.get(), 2, station);
    sqlite3_bind_double(d.get(), 3, since.date().value());
    if (day) sqlite3_bind_double(d.get(), 4, day->value());
    std::vector<DayShortfall> out;
    while (step(db, d.get())) {
        DayShortfall f;
        f.day = DateTime(sqlite3_column_double(d.get(), 0));
        f.reportedSales = sqlite3_column_int64(d.get(), 1);
        f.reportedAmount = sqlite3_column_int64(d.get(), 2);
        f.heldSales = sqlite3_column_int64(d.get(), 3);
        f.heldAmount =
            joinAmount(sqlite3_column_int64(d.get(), 4), sqlite3_column_int64(d.get(), 5));
        out.push_back(f);
    }
    return out;
}

// The days of the batch's stations that were found short and have not
// healed: each counts the sales held since it was found, and heals when
// it lacks nothing of its summary.
void updateRepairs(StatementCache& statements, sqlite3* db, const InsertBatch& batch) {
    std::set<std::pair<std::string_view, std::string_view>> stations;
    for (const SaleFact& f : batch.sales) stations.emplace(f.store, f.station);
    for (const DaySummary& d : batch.summaries) stations.emplace(d.store, d.station);
    auto open = Reused(statements,
                       "SELECT day, found_at, held_then FROM day_repair WHERE store = ?1 AND "
                       "station = ?2 AND healed_at IS NULL");
    auto update = Reused(statements,
                         "UPDATE day_repair SET resent = ?1, healed_at = ?2 WHERE store = ?3 "
                         "AND station = ?4 AND day = ?5 AND found_at = ?6");
    for (const auto& [store, station] : stations) {
        text(open.get(), 1, store);
        text(open.get(), 2, station);
        struct Open {
            DateTime day, foundAt;
            std::int64_t heldThen;
        };
        std::vector<Open> days;
        while (step(db, open.get())) {
            days.push_back({DateTime(sqlite3_column_double(open.get(), 0)),
                            DateTime(sqlite3_column_double(open.get(), 1)),
                            sqlite3_column_int64(open.get(), 2)});
        }
        sqlite3_reset(open.get());
        for (const Open& o : days) {
            const auto now = stationDays(db, store, station, o.day, o.day);
            if (now.empty()) continue;  // no summary to compare with
            text(update.get(), 3, store);
            text(update.get(), 4, station);
            sqlite3_bind_int64(update.get(), 1,
                               std::max<std::int64_t>(0, now[0].heldSales - o.heldThen));
            if (now[0].isShort()) {
                sqlite3_bind_null(update.get(), 2);
            } else {
                sqlite3_bind_double(update.get(), 2, batch.receivedAt.value());
            }
            sqlite3_bind_double(update.get(), 5, o.day.value());
            sqlite3_bind_double(update.get(), 6, o.foundAt.value());
            runOnce(db, update.get());
        }
    }
}

}  // namespace

StatementCache::~StatementCache() {
    for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
}

sqlite3_stmt* StatementCache::get(const char* sql) {
    auto [at, added] = statements_.try_emplace(sql, nullptr);
    if (added) {
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &at->second, nullptr) !=
            SQLITE_OK) {
            statements_.erase(at);
            throw DatabaseError(std::string("Central store: ") + sqlite3_errmsg(db_));
        }
    }
    return at->second;
}

std::vector<DayShortfall> findShortDays(sqlite3* db, std::string_view store,
                                        std::string_view station, DateTime since, DateTime at) {
    std::vector<DayShortfall> out;
    auto record = prepare(db,
                          "INSERT INTO day_repair (store, station, day, found_at, held_then, "
                          "resent, healed_at) SELECT ?1, ?2, ?3, ?4, ?5, 0, NULL WHERE NOT EXISTS "
                          "(SELECT 1 FROM day_repair WHERE store = ?1 AND station = ?2 AND "
                          "day = ?3 AND healed_at IS NULL)");
    for (const DayShortfall& d : stationDays(db, store, station, since)) {
        if (!d.isShort()) continue;
        text(record.get(), 1, store);
        text(record.get(), 2, station);
        sqlite3_bind_double(record.get(), 3, d.day.value());
        sqlite3_bind_double(record.get(), 4, at.value());
        sqlite3_bind_int64(record.get(), 5, d.heldSales);
        runOnce(db, record.get());
        out.push_back(d);
    }
    return out;
}

void writeBatch(StatementCache& statements, sqlite3* db, const InsertBatch& batch,
                const TableCounts& stored) {
    const double day = batch.receivedAt.date().value();
    auto sale = Reused(statements,
                       "INSERT INTO sale_day (key_digest, store, station, day, amount) "
                       "VALUES (qel_key_digest(?1), ?2, ?3, ?4, ?5) ON CONFLICT (key_digest) "
                       "DO UPDATE SET "
                       "store = excluded.store, station = excluded.station, day = excluded.day, "
                       "amount = excluded.amount");
    for (const SaleFact& f : batch.sales) {
        sqlite3_bind_blob(sale.get(), 1,
                          f.key.empty() ? "" : static_cast<const void*>(f.key.data()),
                          static_cast<int>(f.key.size()), SQLITE_STATIC);
        text(sale.get(), 2, f.store);
        text(sale.get(), 3, f.station);
        sqlite3_bind_double(sale.get(), 4, f.day.value());
        sqlite3_bind_int64(sale.get(), 5, f.amount);
        runOnce(db, sale.get());
    }
    auto summary = Reused(statements,
                          "INSERT INTO day_summary (store, station, day, sales, amount, "
                          "received_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO UPDATE SET "
                          "sales = excluded.sales, amount = excluded.amount, "
                          "received_at = excluded.received_at");
    for (const DaySummary& d : batch.summaries) {
        text(summary.get(), 1, d.store);
        text(summary.get(), 2, d.station);
        sqlite3_bind_double(summary.get(), 3, d.day.value());
        sqlite3_bind_int64(summary.get(), 4, d.sales);
        sqlite3_bind_int64(summary.get(), 5, d.amount);
        sqlite3_bind_double(summary.get(), 6, batch.receivedAt.value());
        runOnce(db, summary.get());
    }
    if (!batch.sales.empty() || !batch.summaries.empty()) updateRepairs(statements, db, batch);
    auto count = Reused(statements,
                        "INSERT INTO station_day_count (store, station, day, table_name, "
                        "received, refused) VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO UPDATE "
                        "SET received = received + excluded.received, "
                        "refused = refused + excluded.refused");
    for (const TableTally& t : tallyCounts(stored, batch.refusedByTable)) {
        text(count.get(), 1, batch.store);
        text(count.get(), 2, batch.station);
        sqlite3_bind_double(count.get(), 3, day);
        text(count.get(), 4, t.table);
        sqlite3_bind_int64(count.get(), 5, t.received);
        sqlite3_bind_int64(count.get(), 6, t.refused);
        runOnce(db, count.get());
    }
    auto activity =
        Reused(statements,
               "INSERT INTO station_activity (store, station, last_contact, "
               "last_transfer) VALUES (?1, ?2, ?3, ?3) ON CONFLICT DO UPDATE SET "
               "last_contact = MAX(COALESCE(last_contact, 0), excluded.last_contact), "
               "last_transfer = MAX(COALESCE(last_transfer, 0), excluded.last_transfer)");
    text(activity.get(), 1, batch.store);
    text(activity.get(), 2, batch.station);
    sqlite3_bind_double(activity.get(), 3, batch.receivedAt.value());
    runOnce(db, activity.get());
}

void touch(StatementCache& statements, sqlite3* db, std::string_view store,
           std::string_view station, DateTime at) {
    auto s = Reused(statements,
                    "INSERT INTO station_activity (store, station, last_contact) "
                    "VALUES (?1, ?2, ?3) ON CONFLICT DO UPDATE SET "
                    "last_contact = MAX(COALESCE(last_contact, 0), excluded.last_contact)");
    text(s.get(), 1, store);
    text(s.get(), 2, station);
    sqlite3_bind_double(s.get(), 3, at.value());
    runOnce(db, s.get());
}

std::vector<StationStatus> read(sqlite3* db, DateTime today, DateTime since) {
    FleetBuilder fleet;
    auto a =
        prepare(db, "SELECT store, station, last_contact, last_transfer FROM station_activity");
    while (step(db, a.get())) {
        fleet.activity(columnText(a.get(), 0), columnText(a.get(), 1), columnDate(a.get(), 2),
                       columnDate(a.get(), 3));
    }
    auto c = prepare(db,
                     "SELECT store, station, MAX(cleaned_at) FROM station_cleanup "
                     "GROUP BY store, station");
    while (step(db, c.get())) {
        fleet.cleanup(columnText(c.get(), 0), columnText(c.get(), 1),
                      DateTime(sqlite3_column_double(c.get(), 2)));
    }
    auto t = prepare(db,
                     "SELECT store, station, table_name, received, refused FROM station_day_count "
                     "WHERE day = ?1");
    sqlite3_bind_double(t.get(), 1, today.date().value());
    while (step(db, t.get())) {
        fleet.tableCount(columnText(t.get(), 0), columnText(t.get(), 1), columnText(t.get(), 2),
                         sqlite3_column_int64(t.get(), 3), sqlite3_column_int64(t.get(), 4));
    }
    // Held amounts are summed in two parts (above and below 10^9), each far
    // from overflowing, and joined in 128 bits: any number of sales of any
    // amount sums exactly.
    auto d = prepare(db,
                     "SELECT s.store, s.station, s.day, s.sales, s.amount, COUNT(h.day), "
                     "COALESCE(SUM(h.amount / 1000000000), 0), "
                     "COALESCE(SUM(h.amount % 1000000000), 0) "
                     "FROM day_summary s LEFT JOIN sale_day h ON h.store = s.store AND "
                     "h.station = s.station AND h.day = s.day WHERE s.day >= ?1 "
                     "GROUP BY s.store, s.station, s.day");
    sqlite3_bind_double(d.get(), 1, since.date().value());
    while (step(db, d.get())) {
        DayShortfall day;
        day.day = DateTime(sqlite3_column_double(d.get(), 2));
        day.reportedSales = sqlite3_column_int64(d.get(), 3);
        day.reportedAmount = sqlite3_column_int64(d.get(), 4);
        day.heldSales = sqlite3_column_int64(d.get(), 5);
        day.heldAmount =
            joinAmount(sqlite3_column_int64(d.get(), 6), sqlite3_column_int64(d.get(), 7));
        fleet.day(columnText(d.get(), 0), columnText(d.get(), 1), day);
    }
    // The latest shortfall of each day, where it healed.
    auto h = prepare(db,
                     "SELECT store, station, day, found_at, healed_at, resent FROM day_repair r "
                     "WHERE day >= ?1 AND healed_at IS NOT NULL AND found_at = (SELECT "
                     "MAX(found_at) FROM day_repair x WHERE x.store = r.store AND "
                     "x.station = r.station AND x.day = r.day)");
    sqlite3_bind_double(h.get(), 1, since.date().value());
    while (step(db, h.get())) {
        fleet.healed(
            columnText(h.get(), 0), columnText(h.get(), 1),
            {DateTime(sqlite3_column_double(h.get(), 2)),
             DateTime(sqlite3_column_double(h.get(), 3)),
             DateTime(sqlite3_column_double(h.get(), 4)), sqlite3_column_int64(h.get(), 5)});
    }
    auto r =
        prepare(db, "SELECT store, station, SUM(resent) FROM day_repair GROUP BY store, station");
    while (step(db, r.get())) {
        fleet.resent(columnText(r.get(), 0), columnText(r.get(), 1),
                     sqlite3_column_int64(r.get(), 2));
    }
    return fleet.take();
}

}  // namespace qel::server::sqlite_fleet
