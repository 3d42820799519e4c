#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>
#include <span>
#include <type_traits>
#include <unordered_map>

#include "central_store.h"
#include "fleet_status.h"
#include "postgres_connection.h"
#include "table_rules.h"

namespace qel::server {
namespace {

using pg::Param;

// Version 1 of the central tables. Later versions add their steps after it;
// schema_version records how far a database has come.
constexpr const char* kSchemaV1 = R"sql(
CREATE TABLE IF NOT EXISTS export_row (
    table_name  text NOT NULL,
    row_key     bytea NOT NULL,
    store       text NOT NULL,
    station     text NOT NULL,
    content     bytea NOT NULL,
    received_at double precision NOT NULL,
    PRIMARY KEY (table_name, row_key)
);
CREATE TABLE IF NOT EXISTS station_cleanup (
    store      text NOT NULL,
    station    text NOT NULL,
    cleaned_at double precision NOT NULL
);
CREATE INDEX IF NOT EXISTS station_cleanup_by_station
    ON station_cleanup (store, station, cleaned_at);
CREATE TABLE IF NOT EXISTS station_date (
    store       text NOT NULL,
    station     text NOT NULL,
    name        text NOT NULL,
    value       double precision,
    received_at double precision NOT NULL,
    PRIMARY KEY (store, station, name)
);
CREATE TABLE IF NOT EXISTS station_request (
    kind        text NOT NULL,
    store       text NOT NULL,
    station     text NOT NULL,
    day         double precision NOT NULL,
    argument    text NOT NULL,
    received_at double precision NOT NULL,
    PRIMARY KEY (kind, store, station, day, argument)
);
CREATE TABLE IF NOT EXISTS station_activity (
    store         text NOT NULL,
    station       text NOT NULL,
    last_contact  double precision,
    last_transfer double precision,
    PRIMARY KEY (store, station)
);
CREATE TABLE IF NOT EXISTS station_day_count (
    store      text NOT NULL,
    station    text NOT NULL,
    day        double precision NOT NULL,
    table_name text NOT NULL,
    received   bigint NOT NULL,
    refused    bigint NOT NULL,
    PRIMARY KEY (day, store, station, table_name)
);
CREATE TABLE IF NOT EXISTS sale_day (
    row_key bytea PRIMARY KEY,
    store   text NOT NULL,
    station text NOT NULL,
    day     double precision NOT NULL,
    amount  bigint NOT NULL
);
CREATE INDEX IF NOT EXISTS sale_day_by_station ON sale_day (store, station, day);
CREATE TABLE IF NOT EXISTS day_summary (
    store       text NOT NULL,
    station     text NOT NULL,
    day         double precision NOT NULL,
    sales       bigint NOT NULL,
    amount      bigint NOT NULL,
    received_at double precision NOT NULL,
    PRIMARY KEY (store, station, day)
);
CREATE INDEX IF NOT EXISTS day_summary_by_day ON day_summary (day);
)sql";

// Version 2: rows and sales are found through a unique index of the
// SHA-256 of their key instead of the key itself, whose B-tree refuses
// entries over about 2.7 KB (a row without a local key is keyed by its
// whole content). Lookups compare the full key as well.
constexpr const char* kSchemaV2 = R"sql(
ALTER TABLE export_row DROP CONSTRAINT IF EXISTS export_row_pkey;
CREATE UNIQUE INDEX IF NOT EXISTS export_row_by_key ON export_row (table_name, sha256(row_key));
ALTER TABLE sale_day DROP CONSTRAINT IF EXISTS sale_day_pkey;
CREATE UNIQUE INDEX IF NOT EXISTS sale_day_by_key ON sale_day (sha256(row_key));
)sql";

// Session set-up of every pooled connection.
constexpr const char* kSessionSetup = "SET client_min_messages = warning";

// Version 3: the row index leads with the first 64 bytes of the key, so
// that it is ordered like the keys (a station's rows stay together in it)
// while its entries stay bounded.
constexpr const char* kSchemaV3 = R"sql(
DROP INDEX IF EXISTS export_row_by_key;
CREATE UNIQUE INDEX IF NOT EXISTS export_row_by_key_prefix
    ON export_row (table_name, substr(row_key, 1, 64), sha256(row_key));
)sql";

// Version 4: the days found short when their station asked, with the
// sales received for them since and when they healed.
constexpr const char* kSchemaV4 = R"sql(
CREATE TABLE IF NOT EXISTS day_repair (
    store     text NOT NULL,
    station   text NOT NULL,
    day       double precision NOT NULL,
    found_at  double precision NOT NULL,
    held_then bigint NOT NULL,
    resent    bigint NOT NULL,
    healed_at double precision,
    PRIMARY KEY (store, station, day, found_at)
);
)sql";

constexpr int kSchemaVersion = 4;
constexpr int kRetries = 5;

// Byte order, as PostgreSQL orders bytea (and text in the "C" collation).
bool bytesLess(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return c != 0 ? c < 0 : a.size() < b.size();
}

// The batch's rows with one row per key (the last one sent wins, as it would
// if the rows were stored one after the other), sorted by table and key, the
// rows of tables sent again at every run last: every way of storing a batch
// takes the row locks in this one order.
std::vector<const StoredRow*> lastOfEachKey(const std::vector<StoredRow>& rows) {
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::vector<bool> resent(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) resent[i] = isResentEveryRun(rows[i].table);
    auto less = [&](std::size_t a, std::size_t b) {
        if (resent[a] != resent[b]) return static_cast<bool>(resent[b]);
        if (rows[a].table != rows[b].table) return rows[a].table < rows[b].table;
        return bytesLess(rows[a].key, rows[b].key);
    };
    std::stable_sort(order.begin(), order.end(), less);
    std::vector<const StoredRow*> out;
    out.reserve(rows.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i + 1 < order.size() && !less(order[i], order[i + 1])) continue;  // a later twin
        out.push_back(&rows[order[i]]);
    }
    return out;
}

std::vector<const SaleFact*> lastOfEachSale(const std::vector<SaleFact>& sales) {
    std::vector<const SaleFact*> out;
    out.reserve(sales.size());
    for (const SaleFact& s : sales) out.push_back(&s);
    std::stable_sort(out.begin(), out.end(), [](const SaleFact* a, const SaleFact* b) {
        return bytesLess(a->key, b->key);
    });
    std::vector<const SaleFact*> unique;
    unique.reserve(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (i + 1 < out.size() && out[i]->key == out[i + 1]->key) continue;
        unique.push_back(out[i]);
    }
    return unique;
}

// One summary per station and day, the last one sent winning, in the order
// each day was first sent. One hash look-up per summary: a call may carry
// tens of thousands of them.
std::vector<const DaySummary*> lastOfEachDay(const std::vector<DaySummary>& days) {
    struct DayKey {
        std::string_view store, station;
        double day;
        bool operator==(const DayKey&) const = default;
    };
    struct DayHash {
        std::size_t operator()(const DayKey& k) const {
            const std::size_t h = std::hash<std::string_view>{}(k.store) * 31 +
                                  std::hash<std::string_view>{}(k.station);
            return h * 31 + std::hash<double>{}(k.day);
        }
    };
    std::unordered_map<DayKey, std::size_t, DayHash> seen;
    seen.reserve(days.size());
    std::vector<const DaySummary*> out;
    out.reserve(days.size());
    for (const DaySummary& d : days) {
        const auto [at, added] = seen.try_emplace({d.store, d.station, d.day.value()}, out.size());
        if (added) {
            out.push_back(&d);
        } else {
            out[at->second] = &d;
        }
    }
    return out;
}

std::vector<const StationDate*> lastOfEachName(const std::vector<StationDate>& dates) {
    std::vector<const StationDate*> out;
    for (const StationDate& d : dates) {
        auto same = std::find_if(out.begin(), out.end(),
                                 [&](const StationDate* o) { return o->name == d.name; });
        if (same != out.end()) {
            *same = &d;
        } else {
            out.push_back(&d);
        }
    }
    return out;
}

// The statements of one transfer. Each carries its rows as arrays, so the
// whole transfer is one pipeline: one round trip and one commit. The rows'
// arrays are sent sorted by table and key, so that two servers writing
// overlapping rows lock them in the same order.
//
// A backlog's rows are new: they go in with COPY, which writes a page of rows
// at a time and probes the key index once per row where an upsert probes it
// twice. The rows of tables the agent sends again at every run (open orders,
// the NFC-e counter, blocked products, the day's totals) are mostly stored
// already after a station's first transfer: they go through the upsert in the
// same transaction. A key of the other rows already stored (a retried
// transfer, a changed row) fails the COPY with a unique violation, and the
// transfer runs again as one upsert that counts only the rows it stored or
// changed.
constexpr const char* kCopyRows =
    "COPY export_row (table_name, row_key, store, station, content, received_at) "
    "FROM STDIN (FORMAT binary)";
constexpr const char* kUpsertRowsCounted =
    "WITH stored AS (INSERT INTO export_row (table_name, row_key, store, station, content, "
    "received_at) SELECT t, k, $1::text, $2::text, c, $3::float8 "
    "FROM unnest($4::text[], $5::bytea[], $6::bytea[]) AS u(t, k, c) "
    "ON CONFLICT (table_name, (substr(row_key, 1, 64)), (sha256(row_key))) DO UPDATE SET "
    "store = excluded.store, "
    "station = excluded.station, content = excluded.content, received_at = excluded.received_at "
    "WHERE export_row.content IS DISTINCT FROM excluded.content "
    "AND export_row.row_key = excluded.row_key RETURNING table_name), "
    "tally AS (SELECT table_name AS n, COUNT(*) AS r FROM stored GROUP BY table_name), "
    "counted AS (INSERT INTO station_day_count (store, station, day, table_name, received, "
    "refused) SELECT $1::text, $2::text, $7::float8, COALESCE(tally.n, x.n), "
    "COALESCE(tally.r, 0), COALESCE(x.r, 0) "
    "FROM tally FULL JOIN unnest($8::text[], $9::int8[]) AS x(n, r) ON x.n = tally.n "
    "ORDER BY 4 ON CONFLICT (day, store, station, table_name) DO UPDATE SET "
    "received = station_day_count.received + excluded.received, "
    "refused = station_day_count.refused + excluded.refused) "
    "SELECT COALESCE(SUM(r), 0)::int8 FROM tally";
constexpr const char* kUniqueViolation = "23505";
constexpr const char* kUpsertSales =
    "INSERT INTO sale_day (row_key, store, station, day, amount) "
    "SELECT k, s, c, d, a FROM unnest($1::bytea[], $2::text[], $3::text[], $4::float8[], "
    "$5::int8[]) AS u(k, s, c, d, a) ORDER BY k ON CONFLICT ((sha256(row_key))) DO UPDATE SET "
    "store = excluded.store, station = excluded.station, day = excluded.day, "
    "amount = excluded.amount";
constexpr const char* kUpsertSummaries =
    "INSERT INTO day_summary (store, station, day, sales, amount, received_at) "
    "SELECT s, c, d, n, a, $1 FROM unnest($2::text[], $3::text[], $4::float8[], $5::int8[], "
    "$6::int8[]) AS u(s, c, d, n, a) ORDER BY s, c, d ON CONFLICT (store, station, day) DO UPDATE "
    "SET sales = excluded.sales, amount = excluded.amount, received_at = excluded.received_at";
constexpr const char* kAddDayCounts =
    "INSERT INTO station_day_count (store, station, day, table_name, received, refused) "
    "SELECT $1::text, $2::text, $3::float8, n, r, x "
    "FROM unnest($4::text[], $5::int8[], $6::int8[]) AS u(n, r, x) "
    "ORDER BY n ON CONFLICT (day, store, station, table_name) DO UPDATE SET "
    "received = station_day_count.received + excluded.received, "
    "refused = station_day_count.refused + excluded.refused";
constexpr const char* kUpsertDates =
    "INSERT INTO station_date (store, station, name, value, received_at) "
    "SELECT $1, $2, n, v, $3 FROM unnest($4::text[], $5::float8[]) AS u(n, v) ORDER BY n "
    "ON CONFLICT (store, station, name) DO UPDATE SET value = excluded.value, "
    "received_at = excluded.received_at";
// The open shortfalls of the batch's stations ($1, $2) count the sales held
// since they were found and heal once their day lacks nothing of its summary.
constexpr const char* kUpdateRepairs =
    "UPDATE day_repair r SET resent = GREATEST(h.n - r.held_then, 0), "
    "healed_at = CASE WHEN h.n >= s.sales AND h.total >= s.amount THEN $3::float8 ELSE NULL END "
    "FROM day_summary s CROSS JOIN LATERAL (SELECT COUNT(*) AS n, "
    "COALESCE(SUM(amount), 0) AS total FROM sale_day x WHERE x.store = s.store AND "
    "x.station = s.station AND x.day = s.day) h "
    "WHERE r.healed_at IS NULL AND s.store = r.store AND s.station = r.station AND s.day = r.day "
    "AND (r.store, r.station) IN (SELECT * FROM unnest($1::text[], $2::text[]))";
// A station's days with a summary from $3, held against reported.
constexpr const char* kStationDays =
    "SELECT s.day, s.sales, s.amount, COALESCE(h.n, 0), COALESCE(h.high, 0), COALESCE(h.low, 0) "
    "FROM day_summary s LEFT JOIN (SELECT day, COUNT(*) AS n, SUM(amount / 1000000000) AS high, "
    "SUM(amount % 1000000000) AS low FROM sale_day WHERE store = $1 AND station = $2 AND "
    "day >= $3 GROUP BY day) h ON h.day = s.day WHERE s.store = $1 AND s.station = $2 AND "
    "s.day >= $3 ORDER BY s.day";
constexpr const char* kRecordShortDay =
    "INSERT INTO day_repair (store, station, day, found_at, held_then, resent, healed_at) "
    "SELECT $1::text, $2::text, $3::float8, $4::float8, $5::int8, 0, NULL WHERE NOT EXISTS (SELECT "
    "1 FROM day_repair WHERE "
    "store = $1 AND station = $2 AND day = $3 AND healed_at IS NULL) "
    "ON CONFLICT (store, station, day, found_at) DO NOTHING";
constexpr const char* kRecordTransfer =
    "INSERT INTO station_activity (store, station, last_contact, last_transfer) "
    "VALUES ($1, $2, $3, $3) ON CONFLICT (store, station) DO UPDATE SET "
    "last_contact = GREATEST(station_activity.last_contact, excluded.last_contact), "
    "last_transfer = GREATEST(station_activity.last_transfer, excluded.last_transfer)";
constexpr const char* kRecordContact =
    "INSERT INTO station_activity (store, station, last_contact) VALUES ($1, $2, $3) "
    "ON CONFLICT (store, station) DO UPDATE SET last_contact = "
    "GREATEST(station_activity.last_contact, excluded.last_contact)";
// Each key is one index probe (a correlated subquery), whatever the size of
// the table: a join lets the planner hash the whole table for a few hundred keys.
constexpr const char* kContents =
    "SELECT (SELECT e.content FROM export_row e WHERE e.table_name = u.t "
    "AND substr(e.row_key, 1, 64) = substr(u.k, 1, 64) AND sha256(e.row_key) = sha256(u.k) "
    "AND e.row_key = u.k) "
    "FROM unnest($1::text[], $2::bytea[]) WITH ORDINALITY AS u(t, k, n) ORDER BY u.n";

// The rows per table of a batch whose rows are sorted by table.
TableCounts rowsByTable(std::span<const StoredRow* const> rows) {
    TableCounts out;
    for (const StoredRow* r : rows) {
        if (out.empty() || out.back().first != r->table) out.emplace_back(r->table, 0);
        ++out.back().second;
    }
    return out;
}

// The rows of a transfer as COPY input for export_row, in key order.
std::string copyRows(std::span<const StoredRow* const> rows, const InsertBatch& batch) {
    std::size_t bytes = 32;
    for (const StoredRow* r : rows)
        bytes += 48 + r->table.size() + r->key.size() + r->content.size();
    pg::CopyBuilder copy(bytes + rows.size() * (batch.store.size() + batch.station.size()));
    const double at = batch.receivedAt.value();
    for (const StoredRow* r : rows) {
        copy.row(6);
        copy.text(r->table);
        copy.bytes(r->key);
        copy.text(batch.store);
        copy.text(batch.station);
        copy.bytes(r->content);
        copy.float8(at);
    }
    return copy.take();
}

// The upsert of a transfer's rows that also adds them, as far as they were
// newly stored or changed, and (with `refusals`) the refusals to the day's
// counts.
pg::Statement upsertRowsCounted(std::span<const StoredRow* const> rows, const InsertBatch& batch,
                                bool refusals) {
    pg::ArrayBuilder tables(pg::Oid::text), keys(pg::Oid::bytea), contents(pg::Oid::bytea);
    for (const StoredRow* r : rows) {
        tables.text(r->table);
        keys.bytes(r->key);
        contents.bytes(r->content);
    }
    pg::ArrayBuilder names(pg::Oid::text), refused(pg::Oid::int8);
    for (const TableTally& t :  // one entry per table
         tallyCounts({}, refusals ? batch.refusedByTable : TableCounts{})) {
        names.text(t.table);
        refused.int8(t.refused);
    }
    return {
        kUpsertRowsCounted,
        {Param::of(batch.store), Param::of(batch.station), Param::of(batch.receivedAt.value()),
         Param::array(tables), Param::array(keys), Param::array(contents),
         Param::of(batch.receivedAt.date().value()), Param::array(names), Param::array(refused)}};
}

class PostgresStore final : public CentralStore {
  public:
    PostgresStore(const std::string& conninfo, int connections)
        : pool_(conninfo, connections, [](pg::Connection& c) { c.exec(kSessionSetup); }) {
        auto c = pool_.acquire();
        // One server migrates at a time; the others wait for the lock and find it done.
        transaction(*c, [](pg::Connection& t) {
            t.exec("SELECT pg_advisory_xact_lock(7465011)");
            t.exec("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)");
            pg::Result v = t.exec("SELECT COALESCE(MAX(version), 0) FROM schema_version");
            const std::int64_t version = v.int64(0, 0);
            if (version > kSchemaVersion) {
                throw DatabaseError("Central store (PostgreSQL): the database has schema version " +
                                    std::to_string(version) + ", newer than this server's " +
                                    std::to_string(kSchemaVersion));
            }
            if (version < 1) {
                t.exec(kSchemaV1);
                t.exec("INSERT INTO schema_version VALUES (1)");
            }
            if (version < 2) {
                t.exec(kSchemaV2);
                t.exec("INSERT INTO schema_version VALUES (2)");
            }
            if (version < 3) {
                t.exec(kSchemaV3);
                t.exec("INSERT INTO schema_version VALUES (3)");
            }
            if (version < 4) {
                t.exec(kSchemaV4);
                t.exec("INSERT INTO schema_version VALUES (4)");
            }
        });
    }

    std::int64_t putBatch(const InsertBatch& batch) override {
        const Param store = Param::of(batch.store), station = Param::of(batch.station);
        const Param at = Param::of(batch.receivedAt.value());
        const std::vector<const StoredRow*> rows = lastOfEachKey(batch.rows);
        // What follows the rows, in both ways of storing them.
        std::vector<pg::Statement> rest;
        if (!batch.sales.empty()) {
            pg::ArrayBuilder keys(pg::Oid::bytea), stores(pg::Oid::text), stations(pg::Oid::text),
                days(pg::Oid::float8), amounts(pg::Oid::int8);
            for (const SaleFact* f : lastOfEachSale(batch.sales)) {
                keys.bytes(f->key);
                stores.text(f->store);
                stations.text(f->station);
                days.float8(f->day.value());
                amounts.int8(f->amount);
            }
            rest.push_back({kUpsertSales,
                            {Param::array(keys), Param::array(stores), Param::array(stations),
                             Param::array(days), Param::array(amounts)}});
        }
        if (!batch.summaries.empty()) {
            pg::ArrayBuilder stores(pg::Oid::text), stations(pg::Oid::text), days(pg::Oid::float8),
                sales(pg::Oid::int8), amounts(pg::Oid::int8);
            for (const DaySummary* d : lastOfEachDay(batch.summaries)) {
                stores.text(d->store);
                stations.text(d->station);
                days.float8(d->day.value());
                sales.int8(d->sales);
                amounts.int8(d->amount);
            }
            rest.push_back({kUpsertSummaries,
                            {at, Param::array(stores), Param::array(stations), Param::array(days),
                             Param::array(sales), Param::array(amounts)}});
        }
        if (!batch.dates.empty()) {
            pg::ArrayBuilder names(pg::Oid::text), values(pg::Oid::float8);
            for (const StationDate* d : lastOfEachName(batch.dates)) {
                names.text(d->name);
                if (d->value) {
                    values.float8(d->value->value());
                } else {
                    values.null();
                }
            }
            rest.push_back(
                {kUpsertDates, {store, station, at, Param::array(names), Param::array(values)}});
        }
        if (!batch.sales.empty() || !batch.summaries.empty()) {
            std::set<std::pair<std::string_view, std::string_view>> stations;
            for (const SaleFact& f : batch.sales) stations.emplace(f.store, f.station);
            for (const DaySummary& d : batch.summaries) stations.emplace(d.store, d.station);
            pg::ArrayBuilder stores(pg::Oid::text), codes(pg::Oid::text);
            for (const auto& [s, c] : stations) {
                stores.text(s);
                codes.text(c);
            }
            rest.push_back({kUpdateRepairs, {Param::array(stores), Param::array(codes), at}});
        }
        // The transfer is also the station's contact: no separate write for it.
        rest.push_back({kRecordTransfer, {store, station, at}});

        // First as if every row but those sent at every run were new (a
        // backlog's rows are): COPY, and the day's counts of the copied rows
        // from the batch itself; the rows sent at every run by the upsert,
        // which counts what it stores or changes.
        const auto firstResent =
            std::partition_point(rows.begin(), rows.end(),
                                 [](const StoredRow* r) { return !isResentEveryRun(r->table); });
        const std::span<const StoredRow* const> copied(rows.data(), firstResent - rows.begin());
        const std::span<const StoredRow* const> upserted(copied.data() + copied.size(),
                                                         rows.end() - firstResent);
        std::vector<pg::Statement> fresh;
        if (!upserted.empty()) fresh.push_back(upsertRowsCounted(upserted, batch, false));
        fresh.insert(fresh.end(), rest.begin(), rest.end());
        const std::vector<TableTally> tallies =
            tallyCounts(rowsByTable(copied), batch.refusedByTable);
        if (!tallies.empty()) {
            pg::ArrayBuilder names(pg::Oid::text), received(pg::Oid::int8), refused(pg::Oid::int8);
            for (const TableTally& t : tallies) {
                names.text(t.table);
                received.int8(t.received);
                refused.int8(t.refused);
            }
            fresh.push_back({kAddDayCounts,
                             {store, station, Param::of(batch.receivedAt.date().value()),
                              Param::array(names), Param::array(received), Param::array(refused)}});
        }
        fresh.push_back({"COMMIT", {}});
        const std::string copy = copied.empty() ? std::string() : copyRows(copied, batch);

        std::int64_t stored = 0;
        bool copyFits = !copied.empty();
        withConnection([&](pg::Connection& c) {
            withRetry(c, [&] {
                if (copyFits) {
                    try {
                        c.exec("BEGIN");
                        c.copyIn(kCopyRows, copy);
                        auto results = c.pipeline(fresh);
                        stored = static_cast<std::int64_t>(copied.size()) +
                                 (upserted.empty() ? 0 : results[0].int64(0, 0));
                        return;
                    } catch (const pg::PgError& e) {
                        if (e.sqlstate() != kUniqueViolation) throw;
                        rollbackQuietly(c);
                        copyFits = false;
                    }
                }
                // Some key is stored already: the upsert counts what it changes.
                std::vector<pg::Statement> work;
                work.reserve(rest.size() + 3);
                work.push_back({"BEGIN", {}});
                work.push_back(upsertRowsCounted(rows, batch, true));
                work.insert(work.end(), rest.begin(), rest.end());
                work.push_back({"COMMIT", {}});
                stored = c.pipeline(work)[1].int64(0, 0);
            });
        });
        return stored;
    }

    std::vector<std::optional<Bytes>> getContents(const std::vector<RowRef>& refs) override {
        std::vector<std::optional<Bytes>> out(refs.size());
        if (refs.empty()) return out;
        pg::ArrayBuilder tables(pg::Oid::text), keys(pg::Oid::bytea);
        for (const RowRef& ref : refs) {
            tables.text(ref.table);
            keys.bytes(ref.key);
        }
        const std::vector<Param> params = {Param::array(tables), Param::array(keys)};
        withConnection([&](pg::Connection& c) {
            pg::Result r = c.exec(kContents, params, true);
            if (static_cast<std::size_t>(r.rows()) != refs.size()) {
                throw DatabaseError("Central store (PostgreSQL): " + std::to_string(r.rows()) +
                                    " contents answered for " + std::to_string(refs.size()) +
                                    " keys");
            }
            for (int i = 0; i < r.rows(); ++i) {
                if (r.isNull(i, 0)) continue;
                const auto content = r.bytes(i, 0);
                out[static_cast<std::size_t>(i)] = Bytes(content.begin(), content.end());
            }
        });
        return out;
    }

    std::optional<DateTime> lastCleanup(std::string_view store, std::string_view station) override {
        return withConnection([&](pg::Connection& c) -> std::optional<DateTime> {
            pg::Result r = c.exec(
                "SELECT MAX(cleaned_at) FROM station_cleanup WHERE store = $1 AND station = $2",
                {Param::of(store), Param::of(station)});
            const auto v = r.optionalFloat8(0, 0);
            if (!v) return std::nullopt;
            return DateTime(*v);
        });
    }

    void recordCleanup(std::string_view store, std::string_view station, DateTime at) override {
        // Not an upsert: a retry after a lost connection may add the same
        // cleanup twice, which changes no answer (the latest one counts).
        withConnection([&](pg::Connection& c) {
            c.exec("INSERT INTO station_cleanup (store, station, cleaned_at) VALUES ($1, $2, $3)",
                   {Param::of(store), Param::of(station), Param::of(at.value())});
        });
    }

    void recordRequest(std::string_view kind, std::string_view store, std::string_view station,
                       DateTime day, std::string_view argument, DateTime receivedAt) override {
        withConnection([&](pg::Connection& c) {
            c.exec(
                "INSERT INTO station_request (kind, store, station, day, argument, received_at) "
                "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (kind, store, station, day, argument) "
                "DO UPDATE SET received_at = excluded.received_at",
                {Param::of(kind), Param::of(store), Param::of(station), Param::of(day.value()),
                 Param::of(argument), Param::of(receivedAt.value())});
        });
    }

    void recordDate(std::string_view store, std::string_view station, const StationDate& date,
                    DateTime receivedAt) override {
        pg::ArrayBuilder names(pg::Oid::text), values(pg::Oid::float8);
        names.text(date.name);
        if (date.value) {
            values.float8(date.value->value());
        } else {
            values.null();
        }
        const std::vector<Param> params = {Param::of(store), Param::of(station),
                                           Param::of(receivedAt.value()), Param::array(names),
                                           Param::array(values)};
        withConnection([&](pg::Connection& c) { c.exec(kUpsertDates, params); });
    }

    std::int64_t rowCount(std::string_view table) override {
        return withConnection([&](pg::Connection& c) {
            if (table.empty()) return c.exec("SELECT COUNT(*) FROM export_row").int64(0, 0);
            return c
                .exec("SELECT COUNT(*) FROM export_row WHERE table_name = $1", {Param::of(table)})
                .int64(0, 0);
        });
    }

    std::int64_t requestCount(std::string_view kind) override {
        return withConnection([&](pg::Connection& c) {
            return c.exec("SELECT COUNT(*) FROM station_request WHERE kind = $1", {Param::of(kind)})
                .int64(0, 0);
        });
    }

    std::optional<DateTime> reportedDate(std::string_view store, std::string_view station,
                                         std::string_view name) override {
        return withConnection([&](pg::Connection& c) -> std::optional<DateTime> {
            pg::Result r = c.exec(
                "SELECT value FROM station_date WHERE store = $1 AND station = $2 AND name = $3",
                {Param::of(store), Param::of(station), Param::of(name)});
            if (r.rows() == 0 || r.isNull(0, 0)) return std::nullopt;
            return DateTime(r.float8(0, 0));
        });
    }

    void touchStation(std::string_view store, std::string_view station, DateTime at) override {
        // The last contact is a monitoring time that the next call writes
        // again: its commit does not wait for the disk, so a call that only
        // reads costs no flush. Rows and verdicts never take this path.
        const std::vector<pg::Statement> work = {
            {"BEGIN", {}},
            {"SET LOCAL synchronous_commit TO off", {}},
            {kRecordContact, {Param::of(store), Param::of(station), Param::of(at.value())}},
            {"COMMIT", {}}};
        withConnection([&](pg::Connection& c) { withRetry(c, [&] { c.pipeline(work); }); });
    }

    std::vector<StationStatus> fleet(DateTime today, DateTime since) override;

    std::vector<DayShortfall> findShortDays(std::string_view store, std::string_view station,
                                            DateTime since, DateTime at) override {
        return withConnection([&](pg::Connection& c) {
            std::vector<DayShortfall> out;
            withRetry(c, [&] {
                out.clear();
                c.exec("BEGIN");
                pg::Result d = c.exec(kStationDays, {Param::of(store), Param::of(station),
                                                     Param::of(since.date().value())});
                for (int i = 0; i < d.rows(); ++i) {
                    DayShortfall day;
                    day.day = DateTime(d.float8(i, 0));
                    day.reportedSales = d.int64(i, 1);
                    day.reportedAmount = d.int64(i, 2);
                    day.heldSales = d.int64(i, 3);
                    day.heldAmount = joinAmount(d.int64(i, 4), d.int64(i, 5));
                    if (!day.isShort()) continue;
                    c.exec(kRecordShortDay,
                           {Param::of(store), Param::of(station), Param::of(day.day.value()),
                            Param::of(at.value()), Param::of(day.heldSales)});
                    out.push_back(day);
                }
                c.exec("COMMIT");
            });
            return out;
        });
    }

  private:
    // Runs `work` on a pooled connection. A connection the server cut (a
    // restart, a failover) is replaced and the work runs once more, so no
    // station sees the error: every call here is an idempotent upsert or a read.
    template <typename Work>
    std::invoke_result_t<Work&, pg::Connection&> withConnection(Work&& work) {
        auto lease = pool_.acquire();
        try {
            prepareStatements(*lease);
            return work(*lease);
        } catch (const pg::PgError& e) {
            if (!e.connectionLost()) throw;
        }
        lease.reconnect();
        prepareStatements(*lease);
        return work(*lease);
    }

    // The statements of every transfer and verification, parsed once per
    // connection instead of on every call.
    static void prepareStatements(pg::Connection& c) {
        for (const char* sql : {kUpsertRowsCounted, kUpsertSales, kUpsertSummaries, kAddDayCounts,
                                kUpsertDates, kRecordTransfer, kRecordContact, kContents}) {
            c.prepare(sql);
        }
    }

    static void rollbackQuietly(pg::Connection& c) {
        try {
            c.exec("ROLLBACK");
        } catch (...) {
            // The connection is broken; the pool drops it.
        }
    }

    template <typename Work>
    void transaction(pg::Connection& c, Work&& work) {
        c.exec("BEGIN");
        try {
            work(c);
            c.exec("COMMIT");
        } catch (...) {
            rollbackQuietly(c);
            throw;
        }
    }

    // Two servers storing overlapping rows can deadlock despite the sorted
    // order (index pages, the counters); PostgreSQL then aborts one, which
    // simply runs again. `work` runs a whole transaction (BEGIN ... COMMIT).
    template <typename Work>
    void withRetry(pg::Connection& c, Work&& work) {
        for (int attempt = 1;; ++attempt) {
            try {
                work();
                return;
            } catch (const pg::PgError& e) {
                if (!e.connectionLost()) rollbackQuietly(c);
                if (!e.retryable() || attempt >= kRetries) throw;
            }
        }
    }

    pg::Pool pool_;
};

std::vector<StationStatus> PostgresStore::fleet(DateTime today, DateTime since) {
    return withConnection([&](pg::Connection& connection) {
        FleetBuilder fleet;
        pg::Connection* c = &connection;
        // One snapshot for the four reads.
        c->exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
        try {
            pg::Result a =
                c->exec("SELECT store, station, last_contact, last_transfer FROM station_activity");
            for (int i = 0; i < a.rows(); ++i) {
                auto date = [&](int col) -> std::optional<DateTime> {
                    if (auto v = a.optionalFloat8(i, col)) return DateTime(*v);
                    return std::nullopt;
                };
                fleet.activity(a.text(i, 0), a.text(i, 1), date(2), date(3));
            }
            pg::Result cl = c->exec(
                "SELECT store, station, MAX(cleaned_at) FROM station_cleanup GROUP BY store, "
                "station");
            for (int i = 0; i < cl.rows(); ++i) {
                fleet.cleanup(cl.text(i, 0), cl.text(i, 1), DateTime(cl.float8(i, 2)));
            }
            pg::Result t = c->exec(
                "SELECT store, station, table_name, received, refused FROM station_day_count "
                "WHERE day = $1",
                {Param::of(today.date().value())});
            for (int i = 0; i < t.rows(); ++i) {
                fleet.tableCount(t.text(i, 0), t.text(i, 1), t.text(i, 2), t.int64(i, 3),
                                 t.int64(i, 4));
            }
            pg::Result d = c->exec(
                "SELECT s.store, s.station, s.day, s.sales, s.amount, COALESCE(h.n, 0), "
                "COALESCE(h.high, 0), COALESCE(h.low, 0) FROM day_summary s LEFT JOIN "
                "(SELECT store, station, day, COUNT(*) AS n, SUM(amount / 1000000000) AS high, "
                "SUM(amount % 1000000000) AS low FROM sale_day WHERE day >= $1 "
                "GROUP BY store, station, day) h ON h.store = s.store AND h.station = s.station "
                "AND h.day = s.day WHERE s.day >= $1",
                {Param::of(since.date().value())});
            for (int i = 0; i < d.rows(); ++i) {
                DayShortfall day;
                day.day = DateTime(d.float8(i, 2));
                day.reportedSales = d.int64(i, 3);
                day.reportedAmount = d.int64(i, 4);
                day.heldSales = d.int64(i, 5);
                day.heldAmount = joinAmount(d.int64(i, 6), d.int64(i, 7));
                fleet.day(d.text(i, 0), d.text(i, 1), day);
            }
            // The latest shortfall of each day, where it healed.
            pg::Result h = c->exec(
                "SELECT DISTINCT ON (store, station, day) store, station, day, found_at, "
                "healed_at, resent FROM day_repair WHERE day >= $1 ORDER BY store, station, day, "
                "found_at DESC",
                {Param::of(since.date().value())});
            for (int i = 0; i < h.rows(); ++i) {
                if (h.isNull(i, 4)) continue;
                fleet.healed(h.text(i, 0), h.text(i, 1),
                             {DateTime(h.float8(i, 2)), DateTime(h.float8(i, 3)),
                              DateTime(h.float8(i, 4)), h.int64(i, 5)});
            }
            pg::Result r = c->exec(
                "SELECT store, station, SUM(resent)::int8 FROM day_repair GROUP BY store, station");
            for (int i = 0; i < r.rows(); ++i) {
                fleet.resent(r.text(i, 0), r.text(i, 1), r.int64(i, 2));
            }
            c->exec("COMMIT");
        } catch (...) {
            rollbackQuietly(*c);
            throw;
        }
        return fleet.take();
    });
}

}  // namespace

std::unique_ptr<CentralStore> openPostgresStore(const std::string& conninfo, int connections) {
    return std::make_unique<PostgresStore>(conninfo, connections);
}

bool isPostgresLocation(std::string_view location) {
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

std::unique_ptr<CentralStore> openCentralStore(const std::string& location) {
    if (isPostgresLocation(location)) return openPostgresStore(location);
    return openSqliteStore(location);
}

}  // namespace qel::server
