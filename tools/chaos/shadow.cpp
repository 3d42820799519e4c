#include "shadow.h"

#include <algorithm>

#include "checked_tables.h"
#include "core/error.h"
#include "core/text.h"
#include "table_shape.h"

namespace qel::chaos {
namespace {

// The condition under which a version of a row of `t` is one the agent may
// still send: its own flag is not "S", or (without a flag) its sale's is not.
std::string waitingCondition(const CheckedTable& t, std::string_view row) {
    const std::string r(row);
    if (!t.flag.empty()) return r + "." + sqlName(t.flag) + " <> 'S'";
    return "EXISTS (SELECT 1 FROM VENDA V WHERE V.CDFILIAL IS " + r +
           ".CDFILIAL AND V.CDCAIXA IS " + r + ".CDCAIXA AND V.NRSEQVENDA IS " + r +
           ".NRSEQVENDA AND V.IDIMPVENDA <> 'S')";
}

void installOne(SqliteFile& db, const CheckedTable& t) {
    const TableShape shape = readShape(db, t.table);
    if (shape.columns.empty() || shape.key.empty()) {
        throw DatabaseError("station table " + std::string(t.table) + " is missing or has no key");
    }
    const std::string table(t.table);
    const std::string shadow = shadowName(t.table);
    std::string columns, newValues, keyColumns, contentColumns;
    for (std::size_t i = 0; i < shape.columns.size(); ++i) {
        const std::string& c = shape.columns[i];
        if (i > 0) columns += ", ", newValues += ", ";
        columns += sqlName(c) + " " + shape.types[i];
        newValues += "NEW." + sqlName(c);
        const bool ack = std::any_of(t.ackColumns.begin(), t.ackColumns.end(),
                                     [&](std::string_view a) { return text::iequals(a, c); });
        if (!ack) contentColumns += (contentColumns.empty() ? "" : ", ") + sqlName(c);
    }
    for (const std::string& k : shape.key) {
        if (!keyColumns.empty()) keyColumns += ", ";
        keyColumns += sqlName(k);
    }
    // A child row is captured whatever its sale's flag: it is written with
    // its sale, and an update of the child alone is rare. An update that
    // writes only what the acknowledgement writes (the export flag and the
    // like) keeps the version that was sent.
    const std::string when = t.flag.empty() ? "" : " WHEN " + waitingCondition(t, "NEW");
    const std::string capture =
        " BEGIN INSERT OR REPLACE INTO " + shadow + " VALUES (" + newValues + "); END;\n";
    db.execute("CREATE TABLE IF NOT EXISTS " + shadow + " (" + columns + ");\n" +
               "CREATE UNIQUE INDEX IF NOT EXISTS " + shadow + "_KEY ON " + shadow + " (" +
               keyColumns + ");\n" + "CREATE TRIGGER IF NOT EXISTS " + shadow +
               "_INSERT AFTER INSERT ON " + table + when + capture +
               "CREATE TRIGGER IF NOT EXISTS " + shadow + "_UPDATE AFTER UPDATE OF " +
               contentColumns + " ON " + table + when + capture + "INSERT OR IGNORE INTO " +
               shadow + " SELECT * FROM " + table + " T WHERE " + waitingCondition(t, "T") + ";\n");
}

}  // namespace

void installShadows(const std::filesystem::path& stationFile) {
    SqliteFile db(stationFile, false);
    db.execute("BEGIN IMMEDIATE");
    try {
        for (const CheckedTable& t : checkedTables()) installOne(db, t);
        db.execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace qel::chaos
