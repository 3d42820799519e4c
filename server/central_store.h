#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/datetime.h"
#include "core/variant.h"

namespace qel::server {

// One exported row as the central store keeps it: the table it belongs to,
// its key (the canonical encoding of its key values) and its content (the
// canonical encoding of the whole row). Equal content means an equal row.
struct StoredRow {
    std::string table;
    Bytes key;
    Bytes content;
};

// A date a station reported (the last-update dates of the packet array and
// of getMinDTULTATUEXT / getMaxDTULTATUMCLI); no value when it sent a null.
struct StationDate {
    std::string name;
    std::optional<DateTime> value;
};

// A stored sale as the day-completeness check counts it: the station it
// belongs to, its day (DTENTRVENDA without time) and its total in ten-
// thousandths. Keyed like the sale's row, so a re-sent sale counts once.
struct SaleFact {
    Bytes key;
    std::string store;
    std::string station;
    DateTime day;
    std::int64_t amount = 0;
};

// A station's own count and total of its sales on one day (RELVENDAS).
struct DaySummary {
    std::string store;
    std::string station;
    DateTime day;
    std::int64_t sales = 0;
    std::int64_t amount = 0;  // ten-thousandths
};

// Everything one setInsereServidor call writes, applied in one transaction.
struct InsertBatch {
    std::string store;    // CDFILIAL of the caller
    std::string station;  // CDCAIXA of the caller
    DateTime receivedAt;
    std::vector<StoredRow> rows;
    std::vector<StationDate> dates;
    std::vector<SaleFact> sales;        // the VENDA rows among `rows`
    std::vector<DaySummary> summaries;  // the RELVENDAS rows of the call
    // Rows not stored (answered "ERR"), by table.
    std::vector<std::pair<std::string, std::int64_t>> refusedByTable;
};

// Sums of amounts in ten-thousandths, and differences of counts: 128 bits,
// so that no number of stored sales of any 64-bit amount overflows them.
__extension__ typedef __int128 WideAmount;

// One day of one station whose held sales differ from its own summary.
struct DayShortfall {
    DateTime day;
    std::int64_t reportedSales = 0, reportedAmount = 0;
    std::int64_t heldSales = 0;
    WideAmount heldAmount = 0;

    // What the server lacks of the station's own summary; zero when it holds
    // at least that much.
    WideAmount salesShort() const {
        const WideAmount d = WideAmount{reportedSales} - heldSales;
        return d > 0 ? d : 0;
    }
    WideAmount amountShort() const {
        const WideAmount d = reportedAmount - heldAmount;
        return d > 0 ? d : 0;
    }
    // A day lacking sales or amount is incomplete; one that lacks nothing yet
    // differs holds more than the station reported (a surplus).
    bool isShort() const { return salesShort() > 0 || amountShort() > 0; }
    bool isSurplus() const {
        return !isShort() && (heldSales != reportedSales || heldAmount != reportedAmount);
    }
};

// A day of one station that was found short (the station asked for its short
// days) and has since become complete: when it was found and healed, and how
// many of its sales the server received in between.
struct HealedDay {
    DateTime day;
    DateTime foundAt;
    DateTime healedAt;
    std::int64_t sales = 0;
};

// What the fleet page and the metrics show of one station.
struct StationStatus {
    std::string store;
    std::string station;
    std::optional<DateTime> lastContact;
    std::optional<DateTime> lastTransfer;
    std::optional<DateTime> lastCleanup;
    std::vector<std::pair<std::string, std::int64_t>> receivedToday;  // by table, by name
    std::int64_t refusedToday = 0;
    std::int64_t daysChecked = 0;  // days with a summary since the window's start
    std::vector<DayShortfall> shortDays;
    // Days from the window's start whose latest shortfall healed, by day.
    std::vector<HealedDay> healedDays;
    // Sales received for days after they were found short, over all time.
    std::int64_t resentSales = 0;
};

struct RowRef {
    std::string_view table;
    std::span<const std::uint8_t> key;
};

// The chain's central database as the application server sees it. The SQLite
// implementation is the default; a PostgreSQL one implements the same
// contract. Every method is safe to call from several threads at once.
class CentralStore {
  public:
    virtual ~CentralStore() = default;

    // Applies the whole batch or nothing: a row whose table and key are
    // already stored replaces the stored row. Answers how many rows were
    // newly stored or changed (a retried transfer stores none), which is
    // also what the day's received counts grow by. Throws DatabaseError.
    virtual std::int64_t putBatch(const InsertBatch& batch) = 0;

    // The stored content for each reference, in the same order; nullopt
    // where no row is stored under that key.
    virtual std::vector<std::optional<Bytes>> getContents(const std::vector<RowRef>& refs) = 0;

    // Cleanups of the local database that a station has reported.
    virtual std::optional<DateTime> lastCleanup(std::string_view store,
                                                std::string_view station) = 0;
    virtual void recordCleanup(std::string_view store, std::string_view station, DateTime at) = 0;

    // A dated request (difference adjustment, loyalty update) or a reported date.
    virtual void recordRequest(std::string_view kind, std::string_view store,
                               std::string_view station, DateTime day, std::string_view argument,
                               DateTime receivedAt) = 0;
    virtual void recordDate(std::string_view store, std::string_view station,
                            const StationDate& date, DateTime receivedAt) = 0;

    // Counts, for monitoring and tests. An empty table name counts every table.
    virtual std::int64_t rowCount(std::string_view table = {}) = 0;
    virtual std::int64_t requestCount(std::string_view kind) = 0;
    virtual std::optional<DateTime> reportedDate(std::string_view store, std::string_view station,
                                                 std::string_view name) = 0;

    // A call from a station: its last contact becomes `at` (never earlier).
    virtual void touchStation(std::string_view store, std::string_view station, DateTime at) = 0;
    // Every station known, ordered by store and station: activity on `today`
    // (the server's day) and day completeness for the days from `since`.
    virtual std::vector<StationStatus> fleet(DateTime today, DateTime since) = 0;

    // The station's days with a summary from `since` whose held sales fall
    // short of it, by day. Each is recorded as found short at `at`, unless it
    // is already recorded and not yet healed; the transfers that follow
    // count the sales it receives and mark it healed once it is complete.
    virtual std::vector<DayShortfall> findShortDays(std::string_view store,
                                                    std::string_view station, DateTime since,
                                                    DateTime at) = 0;
};

// Opens (creating when needed) the SQLite central store in `file`.
std::unique_ptr<CentralStore> openSqliteStore(const std::filesystem::path& file);

// Connects to the PostgreSQL central store (a libpq connection string or a
// postgresql:// URI), creating or migrating its tables. `connections` bounds
// the pool shared by the server's threads. Throws DatabaseError.
std::unique_ptr<CentralStore> openPostgresStore(const std::string& conninfo, int connections = 8);

// The store a --db value names: a postgresql:// or postgres:// URI, or a
// SQLite file path.
std::unique_ptr<CentralStore> openCentralStore(const std::string& location);
bool isPostgresLocation(std::string_view location);

}  // namespace qel::server
