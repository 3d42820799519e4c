// Appending sales to an existing station database, and live mode built on it.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "simulator/appender.h"
#include "simulator/simulator.h"

namespace qel::simulator {
namespace detail {
namespace {

// One row's columns as text, or empty strings when there is no row.
std::vector<std::string> queryTexts(sqlite3* db, const char* sql,
                                    std::initializer_list<std::string> binds, int columns) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        throw DatabaseError(std::string(sqlite3_errmsg(db)) + " in: " + sql);
    }
    int index = 1;
    for (const std::string& b : binds) {
        sqlite3_bind_text(stmt, index++, b.c_str(), -1, SQLITE_TRANSIENT);
    }
    std::vector<std::string> values(static_cast<std::size_t>(columns));
    if (sqlite3_step(stmt) == SQLITE_ROW) {
        for (int c = 0; c < columns; ++c) {
            const auto* text = sqlite3_column_text(stmt, c);
            if (text != nullptr)
                values[static_cast<std::size_t>(c)] = reinterpret_cast<const char*>(text);
        }
    }
    sqlite3_finalize(stmt);
    return values;
}

std::int64_t toInt(const std::string& text) {
    return text.empty() ? 0 : std::stoll(text);
}

}  // namespace

Counters loadCounters(sqlite3* db) {
    Counters c;
    c.moviClie =
        toInt(queryTexts(db, "SELECT MAX(CAST(NRSEQMOVCLI AS INTEGER)) FROM MOVICLIE", {}, 1)[0]);
    c.extract = toInt(
        queryTexts(db, "SELECT MAX(CAST(NRSEQMOVEXT AS INTEGER)) FROM EXTRATOCONS", {}, 1)[0]);
    c.benefit = toInt(queryTexts(
        db, "SELECT MAX(CAST(NRSEQBENECONS AS INTEGER)) FROM MOVBENEFICIOCONS", {}, 1)[0]);
    c.order =
        toInt(queryTexts(db, "SELECT MAX(CAST(NRPEDIDOQEL AS INTEGER)) FROM PEDIDOQEL", {}, 1)[0]);
    c.restaurant =
        toInt(queryTexts(db, "SELECT MAX(CAST(NRVENDAREST AS INTEGER)) FROM VENDAREST", {}, 1)[0]);
    return c;
}

SaleAppender::SaleAppender(Writer& w, Counters& counters, const std::string& store,
                           const std::string& station, std::uint64_t seed)
    : w_(w), counters_(counters) {
    sqlite3* db = w.db();
    st_.store = store;
    st_.station = station;
    const auto series =
        queryTexts(db, "SELECT CDSERIECX FROM CAIXA WHERE CDFILIAL = ? AND CDCAIXA = ?",
                   {store, station}, 1)[0];
    st_.series = series.empty() ? station : series;
    const auto sale = queryTexts(db,
                                 "SELECT MAX(CAST(NRSEQVENDA AS INTEGER)), MAX(DTFECHAVENDA), "
                                 "MAX(CAST(NRNOTAFISCALCE AS INTEGER)) FROM VENDA "
                                 "WHERE CDFILIAL = ? AND CDCAIXA = ?",
                                 {store, station}, 3);
    st_.lastSale = toInt(sale[0]);
    lastClosed_ = parseIso(sale[1]).value_or(0);
    const auto voided = queryTexts(db,
                                   "SELECT MAX(CAST(NRNOTAFISCALCE AS INTEGER)) FROM INUTILIZANFCE "
                                   "WHERE CDFILIAL = ? AND CDCAIXA = ?",
                                   {store, station}, 1)[0];
    st_.lastNfce = std::max(toInt(sale[2]), toInt(voided));
    st_.rng = Random(
        mixSeed(seed, (store + station).c_str(), 2 + static_cast<std::uint64_t>(st_.lastSale)));
    const auto shift = queryTexts(db,
                                  "SELECT DTABERCAIX, CDOPERADOR FROM TURCAIXA "
                                  "WHERE CDFILIAL = ? AND CDCAIXA = ? AND DTFECHCAIX IS NULL "
                                  "ORDER BY DTABERCAIX DESC LIMIT 1",
                                  {store, station}, 2);
    if (const auto open = parseIso(shift[0])) {
        st_.shiftOpen = *open;
        st_.operatorCode = shift[1].empty() ? catalog().operators[0] : shift[1];
        st_.lastMovement = toInt(queryTexts(db,
                                            "SELECT MAX(CAST(NRSEQUMOVI AS INTEGER)) FROM MOVCAIXA "
                                            "WHERE CDFILIAL = ? AND CDCAIXA = ? AND DTABERCAIX = ?",
                                            {store, station, shift[0]}, 1)[0]);
        shiftReady_ = true;
    }
}

std::int64_t SaleAppender::append(Millis closedAt) {
    closedAt = std::max(closedAt, lastClosed_ + 5);
    if (!shiftReady_) {
        // The station opens a shift for its first sale.
        const Millis open = closedAt - kMinute;
        writeShiftOpening(w_, st_, open, false);
        writeShiftClosing(w_, st_, open, 0, 'I', Cents{0}, false);
        shiftReady_ = true;
    }
    // Beyond the fixed list of states every plan is drawn from the store's usual mix.
    SalePlan plan = planSale(st_.rng, 1000000, 0);
    plan.flag = 'I';
    plan.paymentChanged = false;
    plan.closedAt = closedAt;
    DayTotals totals;
    writeSale(w_, counters_, st_, plan, totals);
    lastClosed_ = closedAt;
    return st_.lastSale;
}

}  // namespace detail

LiveSummary runLive(const std::string& path, double rate, double durationSeconds,
                    std::uint64_t seed, const std::atomic<bool>& stop, bool quiet) {
    using Clock = std::chrono::steady_clock;
    Database db(path);
    execute(db.get(), "PRAGMA synchronous=NORMAL");
    Writer w(db.get());
    detail::Counters counters = detail::loadCounters(db.get());

    std::vector<std::pair<std::string, std::string>> stations;
    {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db.get(), "SELECT CDFILIAL, CDCAIXA FROM CAIXA ORDER BY 1, 2", -1, &stmt,
                           nullptr);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            stations.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                                  reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
        }
        sqlite3_finalize(stmt);
    }
    if (stations.empty()) throw DatabaseError("the database has no stations (CAIXA is empty)");
    std::vector<detail::SaleAppender> appenders;
    appenders.reserve(stations.size());
    for (const auto& [store, station] : stations)
        appenders.emplace_back(w, counters, store, station, seed);

    LiveSummary summary;
    const auto started = Clock::now();
    const auto interval = std::chrono::duration<double>(1.0 / rate);
    auto next = started;
    std::size_t turn = 0;
    while (!stop.load()) {
        const auto now = Clock::now();
        if (durationSeconds > 0 && now - started >= std::chrono::duration<double>(durationSeconds))
            break;
        if (now < next) {
            // Sleep in short steps so that a stop request is seen at once.
            std::this_thread::sleep_for(
                std::min<Clock::duration>(next - now, std::chrono::milliseconds(50)));
            continue;
        }
        // Each sale is one short transaction, so readers see whole sales only.
        execute(db.get(), "BEGIN IMMEDIATE");
        try {
            appenders[turn].append(localNow() - kSecond);
            execute(db.get(), "COMMIT");
        } catch (...) {
            sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        turn = (turn + 1) % appenders.size();
        ++summary.sales;
        next += std::chrono::duration_cast<Clock::duration>(interval);
        if (!quiet && summary.sales % 100 == 0) {
            std::fprintf(stderr, "\r%lld live sales", static_cast<long long>(summary.sales));
        }
    }
    if (!quiet && summary.sales >= 100) std::fprintf(stderr, "\n");
    summary.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return summary;
}

}  // namespace qel::simulator
