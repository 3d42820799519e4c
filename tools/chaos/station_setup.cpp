#include "station_setup.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "checked_tables.h"
#include "core/error.h"
#include "process.h"
#include "shadow.h"
#include "sqlite_file.h"
#include "table_shape.h"

namespace qel::chaos {
namespace {

void writeRegistry(const StationFolder& s, int proxyPort) {
    std::ofstream out(s.registry);
    out << "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
        << "IPServer = 127.0.0.1:" << proxyPort << "\n"
        << "StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source="
        << s.folder.string()
        << "\n"
        // Short days (a central restore) are healed by the agent itself.
        << "ReconcileDays = 3\n";
    if (!out) throw IoError("cannot write " + s.registry.string());
}

// Renames, or copies when `to` is on another disk.
void moveFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (!ec) return;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::remove(from);
}

}  // namespace

std::string stationName(int number) {
    char code[16];
    std::snprintf(code, sizeof code, "%03d", number);
    return std::string("station-") + code;
}

std::filesystem::path stationFolder(const std::filesystem::path& work, int number) {
    return work / "agents" / stationName(number);
}

std::string parameterFileText(const StationFolder& station) {
    // A fiscal printer type of 0, as the agent has without the file.
    return "<?xml version=\"1.0\" standalone=\"yes\"?><DATAPACKET Version=\"2.0\"><METADATA>"
           "<FIELDS><FIELD attrname=\"CDFILIAL\" fieldtype=\"string\" WIDTH=\"4\"/>"
           "<FIELD attrname=\"CDCAIXA\" fieldtype=\"string\" WIDTH=\"3\"/>"
           "<FIELD attrname=\"IDTIPOIMPFIS\" fieldtype=\"i4\"/></FIELDS><PARAMS/></METADATA>"
           "<ROWDATA><ROW CDFILIAL=\"" +
           station.store + "\" CDCAIXA=\"" + station.station +
           "\" IDTIPOIMPFIS=\"0\"/></ROWDATA></DATAPACKET>";
}

std::vector<StationFolder> createStore(const StoreSettings& settings) {
    const auto base = settings.work / "store.db";
    Processes processes;
    const pid_t pid =
        processes.spawn({settings.simulator.string(), "--db", base.string(), "--separate",
                         "--stations", std::to_string(settings.stations), "--days", "0", "--quiet"},
                        settings.work, {}, settings.work / "simulator.log");
    const auto status = processes.waitFor(pid, std::chrono::minutes(2));
    if (!status || status->signaled || status->code != 0) {
        throw Error("the simulator could not create the store (see " +
                    (settings.work / "simulator.log").string() + ")");
    }
    std::vector<StationFolder> out;
    for (int i = 1; i <= settings.stations; ++i) {
        char code[16];
        std::snprintf(code, sizeof code, "%03d", i);
        StationFolder s;
        s.name = stationName(i);
        s.store = "0001";
        s.station = code;
        s.folder = stationFolder(settings.work, i);
        s.database = s.folder / "QELCAIXA.db";
        s.registry = s.folder / "registry.conf";
        s.agent = s.folder / "QelExp";
        std::filesystem::create_directories(s.folder);
        moveFile(settings.work / ("store-0001-" + std::string(code) + ".db"), s.database);
        std::filesystem::copy_file(settings.agent, s.agent,
                                   std::filesystem::copy_options::overwrite_existing);
        writeRegistry(s, settings.proxyPort);
        {
            std::ofstream parameters(s.folder / "Pontax.cds", std::ios::binary);
            parameters << parameterFileText(s);
            if (!parameters)
                throw IoError("cannot write the parameter file in " + s.folder.string());
        }
        {
            SqliteFile db(s.database, false);
            // Exports every minute unless the agent's timer is shortened; a
            // daily cleanup with a retention of about a minute and a half, so
            // that each cleanup the server allows deletes exported rows.
            db.execute(
                "UPDATE PARAVEND SET NRMINEXPVENDA = '1';"
                "UPDATE CAIXA SET IDFREQLIMPVENDA = 'D', NRDIASVENDAMSDE = '0,001';");
        }
        installShadows(s.database);
        out.push_back(std::move(s));
    }
    return out;
}

long long lastSale(const std::filesystem::path& database) {
    SqliteFile db(database, true);
    return std::stoll("0" + db.scalar("SELECT MAX(rowid) FROM VENDA"));
}

long long salesWaitingUpTo(const std::filesystem::path& database, long long lastSale) {
    SqliteFile db(database, true);
    return std::stoll(
        db.scalar("SELECT COUNT(*) FROM VENDA T WHERE T.rowid <= " + std::to_string(lastSale) +
                  " AND T.IDIMPVENDA <> 'S' AND NOT " + openSale("T")));
}

long long waitingRows(const std::filesystem::path& database) {
    SqliteFile db(database, true);
    long long total = 0;
    for (const CheckedTable& t : checkedTables()) {
        if (t.flag.empty()) continue;
        const std::string table(t.table);
        std::string sql =
            "SELECT COUNT(*) FROM " + table + " T WHERE T." + sqlName(t.flag) + " <> 'S'";
        if (hasSaleKey(readShape(db, table))) {
            sql += " AND NOT " + openSale("T");
            // Rows no selection takes any more are not waiting: the checker
            // reports them (unflagged, or stranded when the server lacks them).
            if (t.onlyWithItsSale) sql += " AND NOT " + saleSettled("T");
        }
        total += std::stoll(db.scalar(sql));
    }
    return total;
}

}  // namespace qel::chaos
