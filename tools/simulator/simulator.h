#pragma once

// Station simulator library: builds station databases full of deterministic point-of-sale
// data, for tests, benchmarks and demonstrations of the export agent.
//
//   qel::simulator::Options o;            // see options.h for every field
//   o.dbPath = "/tmp/station.db";
//   o.stores = {"0001"}; o.stations = 2; o.days = 2; o.salesPerDay = 100; o.seed = 7;
//   o.startDate = "2024-03-01";           // fixed dates: identical content for a seed
//   qel::simulator::fillStation(o);       // creates the file with the schema and fills it
//
//   qel::simulator::Database db(path);    // opens (and creates the schema if empty)
//   qel::simulator::addPendingSales(db.get(), "0001", "001", 10, at, 7);
//
// Sales of each station are numbered 1, 2, ... in time order ("0000000001"). Of each station's
// sales the oldest `exportedFraction` (or all but `pendingSales`) are exported ("S"); the
// others wait ("I" new, some "A" altered). The first pending sales of every station run through
// every state the export tells apart (situation "P", cancelled electronic sales with and
// without fiscal status, accepted cancelled SAT sales with and without cancellation key, ...),
// so even a small station holds each of them. Every sale's VRTOTITENS is the sum of its
// active items' VRTOTITVEND and VRTOTVENDA = VRTOTITENS - VRDESCVENDA + VRACRVENDA.
//
// Date-times are stored as 'YYYY-MM-DD HH:MM:SS.fff' text, money as the nearest double of an
// exact number of cents.

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "simulator/options.h"
#include "simulator/time_text.h"
#include "simulator/writer.h"

namespace qel::simulator {

// The schema DDL compiled into the tool.
std::string stationSchemaText();
std::string centralSchemaText();

// An open SQLite connection with a busy timeout. Creates the station schema when the file
// holds no tables (pass centralSchema = true for a central database).
class Database {
  public:
    explicit Database(const std::string& path, bool centralSchema = false);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    sqlite3* get() const { return db_; }

  private:
    sqlite3* db_ = nullptr;
};

struct FillSummary {
    std::int64_t sales = 0;    // sales written
    std::int64_t pending = 0;  // of which not yet exported ("I" or "A")
    std::int64_t rows = 0;     // rows written over all tables
    double seconds = 0;
    bool stopped = false;  // the fill stopped early on request (Options::stop)
};

// Fills an empty station database. REQUIRES: the schema exists and VENDA is empty (throws
// DatabaseError otherwise). Uses WAL, synchronous=OFF and large transactions while filling.
FillSummary fillStation(sqlite3* db, const Options& options);
// Opens or creates options.dbPath, fills it and, when options.centralPath is set, creates the
// store's central database.
FillSummary fillStation(const Options& options);

// Creates (or refills) the central database with one SENHACONS row per consumer.
void createCentral(const std::string& path, std::uint64_t seed);

// Appends `count` new sales ("I", with items, taxes, payments...) to a station of an existing
// database, closing at `at`, `at` + 1 s, ... in one transaction. Attaches them to the
// station's open shift, opening one when there is none. Returns the last sale number.
std::int64_t addPendingSales(sqlite3* db, const std::string& store, const std::string& station,
                             std::int64_t count, Millis at, std::uint64_t seed);

struct LiveSummary {
    std::int64_t sales = 0;
    double seconds = 0;
};

// Live mode: inserts sales closing now (real clock) on every station of the database, round
// robin, at `rate` sales per second, one short transaction per sale, until `durationSeconds`
// have passed (0: no limit) or `stop` becomes true.
LiveSummary runLive(const std::string& path, double rate, double durationSeconds,
                    std::uint64_t seed, const std::atomic<bool>& stop, bool quiet = true);

}  // namespace qel::simulator
