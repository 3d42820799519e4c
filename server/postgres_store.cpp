#include <algorithm>
#include <numeric>

#include "central_store.h"
#include "fleet_status.h"
#include "postgres_connection.h"

namespace qel::server {
namespace {

using pg::CopyBuffer;
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

// Staging tables of one session, emptied at every commit.
constexpr const char* kSessionSetup = R"sql(
SET client_min_messages = warning;
CREATE TEMP TABLE IF NOT EXISTS row_stage (
    table_name text, row_key bytea, content bytea) ON COMMIT DELETE ROWS;
CREATE TEMP TABLE IF NOT EXISTS sale_stage (
    row_key bytea, store text, station text, day double precision, amount bigint)
    ON COMMIT DELETE ROWS;
CREATE TEMP TABLE IF NOT EXISTS key_stage (
    ord integer, table_name text, row_key bytea) ON COMMIT DELETE ROWS;
)sql";

constexpr int kSchemaVersion = 1;
constexpr int kRetries = 5;

// The batch's rows with one row per key (the last one sent wins, as it would
// if the rows were stored one after the other).
std::vector<const StoredRow*> lastOfEachKey(const std::vector<StoredRow>& rows) {
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    auto less = [&](std::size_t a, std::size_t b) {
        if (rows[a].table != rows[b].table) return rows[a].table < rows[b].table;
        return rows[a].key < rows[b].key;
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
    std::stable_sort(out.begin(), out.end(),
                     [](const SaleFact* a, const SaleFact* b) { return a->key < b->key; });
    std::vector<const SaleFact*> unique;
    unique.reserve(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (i + 1 < out.size() && out[i]->key == out[i + 1]->key) continue;
        unique.push_back(out[i]);
    }
    return unique;
}

// A text[] literal of plain names (table names: letters, digits, '_').
std::string textArray(const std::vector<std::string>& items) {
    std::string out = "{";
    for (const std::string& s : items) {
        if (out.size() > 1) out += ',';
        out += '"';
        for (char c : s) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

std::string intArray(const std::vector<std::int64_t>& items) {
    std::string out = "{";
    for (std::int64_t v : items) {
        if (out.size() > 1) out += ',';
        out += std::to_string(v);
    }
    return out + "}";
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
        });
    }

    void putBatch(const InsertBatch& batch) override {
        const auto rows = lastOfEachKey(batch.rows);
        CopyBuffer rowStream;
        for (const StoredRow* r : rows) {
            rowStream.row(3);
            rowStream.text(r->table);
            rowStream.bytes(r->key);
            rowStream.bytes(r->content);
        }
        rowStream.finish();
        CopyBuffer saleStream;
        for (const SaleFact* s : lastOfEachSale(batch.sales)) {
            saleStream.row(5);
            saleStream.bytes(s->key);
            saleStream.text(s->store);
            saleStream.text(s->station);
            saleStream.float8(s->day.value());
            saleStream.int8(s->amount);
        }
        saleStream.finish();
        std::vector<std::string> tables;
        std::vector<std::int64_t> received, refused;
        for (const TableTally& t : tallyBatch(batch)) {
            tables.push_back(t.table);
            received.push_back(t.received);
            refused.push_back(t.refused);
        }
        const Param store = Param::of(batch.store), station = Param::of(batch.station);
        const Param at = Param::of(batch.receivedAt.value());
        const Param day = Param::of(batch.receivedAt.date().value());

        auto c = pool_.acquire();
        withRetry(*c, [&](pg::Connection& t) {
            if (!rows.empty()) {
                t.copyIn("COPY row_stage FROM STDIN (FORMAT binary)", rowStream.finish());
                t.exec(
                    "INSERT INTO export_row (table_name, row_key, store, station, content, "
                    "received_at) SELECT table_name, row_key, $1, $2, content, $3 FROM row_stage "
                    "ORDER BY table_name, row_key ON CONFLICT (table_name, row_key) DO UPDATE SET "
                    "store = excluded.store, station = excluded.station, content = "
                    "excluded.content, received_at = excluded.received_at "
                    "WHERE export_row.content IS DISTINCT FROM excluded.content",
                    {store, station, at});
            }
            if (!batch.sales.empty()) {
                t.copyIn("COPY sale_stage FROM STDIN (FORMAT binary)", saleStream.finish());
                t.exec(
                    "INSERT INTO sale_day (row_key, store, station, day, amount) "
                    "SELECT row_key, store, station, day, amount FROM sale_stage ORDER BY row_key "
                    "ON CONFLICT (row_key) DO UPDATE SET store = excluded.store, station = "
                    "excluded.station, day = excluded.day, amount = excluded.amount");
            }
            for (const DaySummary& d : batch.summaries) {
                t.exec(
                    "INSERT INTO day_summary (store, station, day, sales, amount, received_at) "
                    "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (store, station, day) DO UPDATE "
                    "SET sales = excluded.sales, amount = excluded.amount, "
                    "received_at = excluded.received_at",
                    {Param::of(d.store), Param::of(d.station), Param::of(d.day.value()),
                     Param::of(d.sales), Param::of(d.amount), at});
            }
            if (!tables.empty()) {
                t.exec(
                    "INSERT INTO station_day_count (store, station, day, table_name, received, "
                    "refused) SELECT $1, $2, $3, n, r, x FROM unnest($4::text[], $5::bigint[], "
                    "$6::bigint[]) AS u(n, r, x) ORDER BY n ON CONFLICT (day, store, station, "
                    "table_name) DO UPDATE SET received = station_day_count.received + "
                    "excluded.received, refused = station_day_count.refused + excluded.refused",
                    {store, station, day, Param::of(textArray(tables)),
                     Param::of(intArray(received)), Param::of(intArray(refused))});
            }
            for (const StationDate& d : batch.dates) putDate(t, batch.store, batch.station, d, at);
            t.exec(
                "INSERT INTO station_activity (store, station, last_contact, last_transfer) "
                "VALUES ($1, $2, $3, $3) ON CONFLICT (store, station) DO UPDATE SET "
                "last_contact = GREATEST(station_activity.last_contact, excluded.last_contact), "
                "last_transfer = GREATEST(station_activity.last_transfer, excluded.last_transfer)",
                {store, station, at});
        });
    }

    std::vector<std::optional<Bytes>> getContents(const std::vector<RowRef>& refs) override {
        std::vector<std::optional<Bytes>> out(refs.size());
        if (refs.empty()) return out;
        CopyBuffer keys;
        for (std::size_t i = 0; i < refs.size(); ++i) {
            keys.row(3);
            keys.int4(static_cast<std::int32_t>(i));
            keys.text(refs[i].table);
            keys.bytes(refs[i].key);
        }
        keys.finish();
        auto c = pool_.acquire();
        withRetry(*c, [&](pg::Connection& t) {
            t.copyIn("COPY key_stage FROM STDIN (FORMAT binary)", keys.finish());
            pg::Result r = t.exec(
                "SELECT k.ord::text, e.content FROM key_stage k JOIN export_row e "
                "ON e.table_name = k.table_name AND e.row_key = k.row_key",
                {}, true);
            for (int i = 0; i < r.rows(); ++i) {
                // ord came back as text in a binary result: its bytes are the digits.
                const auto digits = r.bytes(i, 0);
                const std::size_t ord = std::stoul(std::string(digits.begin(), digits.end()));
                const auto content = r.bytes(i, 1);
                out.at(ord) = Bytes(content.begin(), content.end());
            }
        });
        return out;
    }

    std::optional<DateTime> lastCleanup(std::string_view store, std::string_view station) override {
        auto c = pool_.acquire();
        pg::Result r =
            c->exec("SELECT MAX(cleaned_at) FROM station_cleanup WHERE store = $1 AND station = $2",
                    {Param::of(store), Param::of(station)});
        const auto v = r.optionalFloat8(0, 0);
        if (!v) return std::nullopt;
        return DateTime(*v);
    }

    void recordCleanup(std::string_view store, std::string_view station, DateTime at) override {
        auto c = pool_.acquire();
        c->exec("INSERT INTO station_cleanup (store, station, cleaned_at) VALUES ($1, $2, $3)",
                {Param::of(store), Param::of(station), Param::of(at.value())});
    }

    void recordRequest(std::string_view kind, std::string_view store, std::string_view station,
                       DateTime day, std::string_view argument, DateTime receivedAt) override {
        auto c = pool_.acquire();
        c->exec(
            "INSERT INTO station_request (kind, store, station, day, argument, received_at) "
            "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (kind, store, station, day, argument) "
            "DO UPDATE SET received_at = excluded.received_at",
            {Param::of(kind), Param::of(store), Param::of(station), Param::of(day.value()),
             Param::of(argument), Param::of(receivedAt.value())});
    }

    void recordDate(std::string_view store, std::string_view station, const StationDate& date,
                    DateTime receivedAt) override {
        auto c = pool_.acquire();
        putDate(*c, store, station, date, Param::of(receivedAt.value()));
    }

    std::int64_t rowCount(std::string_view table) override {
        auto c = pool_.acquire();
        if (table.empty()) return c->exec("SELECT COUNT(*) FROM export_row").int64(0, 0);
        return c->exec("SELECT COUNT(*) FROM export_row WHERE table_name = $1", {Param::of(table)})
            .int64(0, 0);
    }

    std::int64_t requestCount(std::string_view kind) override {
        auto c = pool_.acquire();
        return c->exec("SELECT COUNT(*) FROM station_request WHERE kind = $1", {Param::of(kind)})
            .int64(0, 0);
    }

    std::optional<DateTime> reportedDate(std::string_view store, std::string_view station,
                                         std::string_view name) override {
        auto c = pool_.acquire();
        pg::Result r = c->exec(
            "SELECT value FROM station_date WHERE store = $1 AND station = $2 AND name = $3",
            {Param::of(store), Param::of(station), Param::of(name)});
        if (r.rows() == 0 || r.isNull(0, 0)) return std::nullopt;
        return DateTime(r.float8(0, 0));
    }

    void touchStation(std::string_view store, std::string_view station, DateTime at) override {
        auto c = pool_.acquire();
        c->exec(
            "INSERT INTO station_activity (store, station, last_contact) VALUES ($1, $2, $3) "
            "ON CONFLICT (store, station) DO UPDATE SET last_contact = "
            "GREATEST(station_activity.last_contact, excluded.last_contact)",
            {Param::of(store), Param::of(station), Param::of(at.value())});
    }

    std::vector<StationStatus> fleet(DateTime today, DateTime since) override;

  private:
    template <typename Work>
    void transaction(pg::Connection& c, Work&& work) {
        c.exec("BEGIN");
        try {
            work(c);
            c.exec("COMMIT");
        } catch (...) {
            try {
                c.exec("ROLLBACK");
            } catch (...) {
                // The connection is broken; the pool drops it.
            }
            throw;
        }
    }

    // Two servers storing overlapping rows can deadlock despite the sorted
    // order (index pages, the counters); PostgreSQL then aborts one, which
    // simply runs again.
    template <typename Work>
    void withRetry(pg::Connection& c, Work&& work) {
        for (int attempt = 1;; ++attempt) {
            try {
                transaction(c, work);
                return;
            } catch (const pg::PgError& e) {
                if (!e.retryable() || attempt >= kRetries) throw;
            }
        }
    }

    static void putDate(pg::Connection& c, std::string_view store, std::string_view station,
                        const StationDate& date, const Param& at) {
        c.exec(
            "INSERT INTO station_date (store, station, name, value, received_at) "
            "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (store, station, name) DO UPDATE SET "
            "value = excluded.value, received_at = excluded.received_at",
            {Param::of(store), Param::of(station), Param::of(date.name),
             date.value ? Param::of(date.value->value()) : Param::none(), at});
    }

    pg::Pool pool_;
};

std::vector<StationStatus> PostgresStore::fleet(DateTime today, DateTime since) {
    FleetBuilder fleet;
    auto c = pool_.acquire();
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
            "SELECT store, station, MAX(cleaned_at) FROM station_cleanup GROUP BY store, station");
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
            "COALESCE(h.a, 0) FROM day_summary s LEFT JOIN (SELECT store, station, day, "
            "COUNT(*) AS n, SUM(amount) AS a FROM sale_day WHERE day >= $1 "
            "GROUP BY store, station, day) h ON h.store = s.store AND h.station = s.station "
            "AND h.day = s.day WHERE s.day >= $1",
            {Param::of(since.date().value())});
        for (int i = 0; i < d.rows(); ++i) {
            DayShortfall day;
            day.day = DateTime(d.float8(i, 2));
            day.reportedSales = d.int64(i, 3);
            day.reportedAmount = d.int64(i, 4);
            day.heldSales = d.int64(i, 5);
            day.heldAmount = d.int64(i, 6);
            fleet.day(d.text(i, 0), d.text(i, 1), day);
        }
        c->exec("COMMIT");
    } catch (...) {
        try {
            c->exec("ROLLBACK");
        } catch (...) {
        }
        throw;
    }
    return fleet.take();
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
