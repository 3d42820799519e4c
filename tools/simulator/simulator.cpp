#include "simulator/simulator.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "simulator/appender.h"
#include "simulator/generator.h"

namespace qel::simulator {
namespace {

using namespace detail;

std::int64_t queryInt(sqlite3* db, const std::string& sql, const std::string& bind = {}) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        throw DatabaseError(std::string(sqlite3_errmsg(db)) + " in: " + sql);
    }
    if (!bind.empty()) sqlite3_bind_text(stmt, 1, bind.c_str(), -1, SQLITE_TRANSIENT);
    std::int64_t value = 0;
    if (sqlite3_step(stmt) == SQLITE_ROW) value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

std::string centralNameOf(const std::string& path) {
    if (path.empty()) return {};
    std::string name = path.substr(path.find_last_of("/\\") + 1);
    const auto dot = name.find('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

// Sales of one station that stay pending.
std::int64_t pendingOf(const Options& o, std::int64_t total) {
    if (o.pendingSales) return std::min(*o.pendingSales, total);
    return total - std::llround(static_cast<double>(total) * o.exportedFraction);
}

}  // namespace

FillSummary fillStation(sqlite3* db, const Options& o) {
    const auto started = std::chrono::steady_clock::now();
    if (queryInt(db, "SELECT COUNT(*) FROM VENDA") != 0 ||
        queryInt(db, "SELECT COUNT(*) FROM CAIXA") != 0) {
        throw DatabaseError("the station database already holds data");
    }
    execute(db, "PRAGMA journal_mode=WAL");
    execute(db, "PRAGMA synchronous=OFF");
    execute(db, "PRAGMA cache_size=-262144");
    execute(db, "PRAGMA temp_store=MEMORY");

    const Millis firstDay =
        !o.startDate.empty() ? *parseDay(o.startDate) : dayStart(localNow()) - o.days * kDay;
    const std::int64_t perStation = static_cast<std::int64_t>(o.days) * o.salesPerDay;
    const std::int64_t pending = pendingOf(o, perStation);
    const std::int64_t exported = perStation - pending;
    const Millis salesSpan = 14 * kHour + 30 * kMinute;
    const Millis step = std::max<Millis>(salesSpan / std::max(o.salesPerDay, 1), 5);

    std::vector<int> numbers = o.stationNumbers;
    if (numbers.empty()) {
        for (int j = 1; j <= o.stations; ++j) numbers.push_back(j);
    }

    FillSummary summary;
    Writer w(db);
    Counters counters;
    std::int64_t inTransaction = 0;
    execute(db, "BEGIN");
    writeCatalogTables(w, firstDay, exported > 0, o.seed);

    for (std::size_t si = 0; si < o.stores.size() && !summary.stopped; ++si) {
        const std::string& store = o.stores[si];
        writeStoreTables(w, store, centralNameOf(o.centralPath));
        std::vector<StationState> stations(numbers.size());
        std::string associated;
        for (int j = o.stations - o.associatedStations; j < o.stations; ++j) {
            if (!associated.empty()) associated += "_";
            associated += stationCode(j + 1);
        }
        for (std::size_t j = 0; j < numbers.size(); ++j) {
            StationState& st = stations[j];
            st.store = store;
            st.station = stationCode(numbers[j]);
            st.series = st.station;
            st.rng = Random(mixSeed(o.seed, (store + st.station).c_str()));
            writeStationTables(w, store, st.station, numbers[j] == 1 ? associated : std::string(),
                               exported > 0);
        }
        Random storeRng(mixSeed(o.seed, store.c_str(), 1));
        std::int64_t k = 0;  // the sale's index within its station, the same for all stations
        for (int d = 0; d < o.days && !summary.stopped; ++d) {
            const Millis day = firstDay + d * kDay;
            const bool lastDay = d == o.days - 1;
            const std::int64_t dayEnd = k + o.salesPerDay;
            const bool dayExported = dayEnd <= exported;
            const bool shiftStaysOpen = lastDay && pending > 0;
            std::vector<std::int64_t> firstSale;
            for (std::size_t j = 0; j < numbers.size() && !summary.stopped; ++j) {
                StationState& st = stations[j];
                firstSale.push_back(st.lastSale + 1);
                // Distinct opening instants keep the login's key unique across stations.
                const auto index = static_cast<Millis>(si) * o.stations + (numbers[j] - 1);
                const Millis open = day + 7 * kHour + (index % 3600) * kSecond + index / 3600;
                writeShiftOpening(w, st, open, dayExported);
                writeAccountCredits(w, counters, st, open + 30 * kMinute, dayExported);
                DayTotals totals;
                for (std::int64_t i = 0; i < o.salesPerDay && !summary.stopped; ++i) {
                    if (o.stop != nullptr && o.stop->load()) {
                        summary.stopped = true;
                        break;
                    }
                    SalePlan plan = planSale(st.rng, k + i, exported);
                    plan.closedAt = open + 5 * kMinute + i * step;
                    writeSale(w, counters, st, plan, totals);
                    ++summary.sales;
                    if (plan.flag != 'S') ++summary.pending;
                    if (++inTransaction == 50000) {
                        execute(db, "COMMIT");
                        execute(db, "BEGIN");
                        inTransaction = 0;
                    }
                    if (!o.quiet && summary.sales % 10000 == 0) {
                        std::fprintf(stderr, "\r%lld sales written",
                                     static_cast<long long>(summary.sales));
                    }
                }
                if (d % 2 == 0 || lastDay) {
                    writeVoidedNumber(w, st, open + 3 * kHour, dayExported);
                }
                const Millis close = open + 15 * kHour;
                const char flag = dayExported ? 'S' : shiftStaysOpen ? 'I' : 'A';
                writeShiftClosing(w, st, open, shiftStaysOpen ? 0 : close, flag,
                                  Cents{20000 + totals.payments[1]}, dayExported);
                if (!shiftStaysOpen) writeDayEnd(w, st, day, close, totals, dayExported);
            }
            // A stopped fill leaves the day without its store-wide rows.
            if (summary.stopped) break;
            writeStoreDay(w, counters, storeRng, store, stations, firstSale, day, lastDay,
                          dayExported);
            k = dayEnd;
        }
        writeStoreSnapshot(w, counters, storeRng, store, firstDay + (o.days - 1) * kDay);
        for (const StationState& st : stations) {
            w.insert("NOVOCODIGO",
                     {{"CDCONTADOR", "NFCE1" + store + st.series}, {"NRSEQUENCIAL", st.lastNfce}});
        }
    }
    const std::pair<const char*, std::int64_t> globalCounters[] = {
        {"MOVICLIE", counters.moviClie},
        {"EXTRATOCONS", counters.extract},
        {"MOVBENEFICIOCONS", counters.benefit},
        {"PEDIDOQEL", counters.order},
        {"VENDAREST", counters.restaurant}};
    for (const auto& [key, value] : globalCounters) {
        w.insert("NOVOCODIGO", {{"CDCONTADOR", std::string(key)}, {"NRSEQUENCIAL", value}});
    }
    execute(db, "COMMIT");
    if (!o.quiet && summary.sales >= 10000) std::fprintf(stderr, "\n");
    if (o.analyze && !summary.stopped) execute(db, "ANALYZE");
    execute(db, "PRAGMA synchronous=NORMAL");
    summary.rows = w.rows();
    summary.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return summary;
}

namespace {

// One database per store and station group: station 001 with the stations it exports for,
// every other station alone.
FillSummary fillSeparate(const Options& o) {
    FillSummary total;
    for (const std::string& store : o.stores) {
        std::vector<std::vector<int>> groups;
        for (int j = 1; j <= o.stations; ++j) {
            const bool associated = j > o.stations - o.associatedStations;
            if (j == 1 || !associated) groups.push_back({j});
            if (j != 1 && associated) groups.front().push_back(j);
        }
        for (const std::vector<int>& group : groups) {
            Options one = o;
            one.separate = false;
            one.stores = {store};
            one.stationNumbers = group;
            one.dbPath = separateDatabasePath(o.dbPath, store, stationCode(group.front()));
            Database db(one.dbPath);
            const FillSummary s = fillStation(db.get(), one);
            total.sales += s.sales;
            total.pending += s.pending;
            total.rows += s.rows;
            total.seconds += s.seconds;
            if (s.stopped) {
                total.stopped = true;
                return total;
            }
        }
    }
    return total;
}

}  // namespace

FillSummary fillStation(const Options& o) {
    FillSummary summary;
    if (o.separate) {
        summary = fillSeparate(o);
    } else {
        Database db(o.dbPath);
        summary = fillStation(db.get(), o);
    }
    if (!o.centralPath.empty()) createCentral(o.centralPath, o.seed);
    return summary;
}

void createCentral(const std::string& path, std::uint64_t seed) {
    Database db(path, true);
    Random rng(mixSeed(seed, "central"));
    execute(db.get(), "BEGIN");
    execute(db.get(), "DELETE FROM SENHACONS");
    Writer w(db.get());
    const auto& consumers = catalog().consumers;
    for (std::size_t i = 0; i < consumers.size(); ++i) {
        // The same consumers as the stations; those changed there are changed here as well.
        const char* flag = i % 7 <= 1 ? "I" : "S";
        w.insert("SENHACONS", {{"CDCLIENTE", consumers[i].client},
                               {"CDCONSUMIDOR", consumers[i].consumer},
                               {"CDSENHACONS", padNumber(rng.between(100000, 999999), 6)},
                               {"IDATUCONSUMI", std::string(flag)},
                               {"DTULTATU", isoText(dayStart(localNow()))}});
    }
    execute(db.get(), "COMMIT");
}

std::int64_t addPendingSales(sqlite3* db, const std::string& store, const std::string& station,
                             std::int64_t count, Millis at, std::uint64_t seed) {
    Writer w(db);
    execute(db, "BEGIN IMMEDIATE");
    try {
        Counters counters = loadCounters(db);
        SaleAppender appender(w, counters, store, station, seed);
        std::int64_t last = 0;
        for (std::int64_t i = 0; i < count; ++i) last = appender.append(at + i * kSecond);
        execute(db, "COMMIT");
        return last;
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace qel::simulator
