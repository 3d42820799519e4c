#include "row_check.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "checked_tables.h"
#include "core/clock.h"
#include "core/error.h"
#include "db/connection.h"
#include "export_rows.h"
#include "row_content.h"
#include "table_rules.h"
#include "table_shape.h"

namespace qel::chaos {
namespace {

constexpr std::size_t kExamples = 5;

// Per shadow row, in rowid order: 'D' deleted at the station, 'S' flagged
// exported (its own flag, or its sale's), 'O' of a sale still open at the
// till (situation "P", never sent until the till closes it), 'U' left
// unflagged though its sale is flagged (no selection takes it again), 'P'
// waiting.
std::string stateQuery(const CheckedTable& t, const TableShape& shape) {
    const std::string table(t.table);
    const std::string live =
        "EXISTS (SELECT 1 FROM " + table + " L WHERE " + keyMatch(shape.key, "L", "S");
    std::string exported;
    if (!t.flag.empty()) {
        exported = live + " AND L." + sqlName(t.flag) + " = 'S')";
    } else {
        exported =
            "NOT EXISTS (SELECT 1 FROM VENDA V WHERE V.CDFILIAL IS S.CDFILIAL AND V.CDCAIXA IS "
            "S.CDCAIXA AND V.NRSEQVENDA IS S.NRSEQVENDA AND V.IDIMPVENDA <> 'S')";
    }
    std::string open;
    if (hasSaleKey(shape)) {
        open = " WHEN " + openSale("S") + " THEN 'O'";
        if (t.onlyWithItsSale) open += " WHEN " + saleSettled("S") + " THEN 'U'";
    }
    return "SELECT CASE WHEN NOT " + live + ") THEN 'D' WHEN " + exported + " THEN 'S'" + open +
           " ELSE 'P' END FROM " + shadowName(t.table) + " S ORDER BY S.rowid";
}

// The caller a row came from: its own store and station when it names them.
std::string sourceOf(const Dataset& data, std::size_t row, const std::string& fallback) {
    const int store = data.findField("CDFILIAL"), station = data.findField("CDCAIXA");
    if (store < 0 || station < 0) return fallback;
    const Row& r = data.rows()[row];
    const Variant& s = r[static_cast<std::size_t>(store)];
    const Variant& c = r[static_cast<std::size_t>(station)];
    if (s.isEmpty() || c.isEmpty()) return fallback;
    return s.asString() + "/" + c.asString();
}

std::string describe(const Dataset& data, std::size_t row, const TableShape& shape,
                     std::string_view what) {
    std::string text(what);
    for (const std::string& k : shape.key) {
        const int column = data.findField(k);
        if (column < 0) continue;
        text += " " + k + "=" + data.rows()[row][static_cast<std::size_t>(column)].asString();
    }
    return text;
}

struct StationFile {
    std::filesystem::path path;
    std::string firstStation;  // "store/station" of its first CAIXA row
};

class TableChecker {
  public:
    TableChecker(const CheckedTable& t, CentralRows& central,
                 const std::vector<CentralRows*>& replaced)
        : t_(t) {
        out_.table = std::string(t.table);
        for (CentralRow& row : central.table(rule().table)) {
            held_.emplace(std::move(row.key),
                          Held{std::move(row.content), row.store + "/" + row.station, false});
        }
        // Of the stores central restores replaced, only the rows not held
        // now as they were can explain a loss.
        for (CentralRows* before : replaced) {
            for (CentralRow& row : before->table(rule().table)) {
                const auto now = held_.find(row.key);
                if (now != held_.end() && now->second.content == row.content) continue;
                heldBefore_[std::move(row.key)].push_back(std::move(row.content));
            }
        }
    }

    // One station: its file as it is now, then the copies a restore found,
    // newest first. A row of a copy that the station (or a newer copy) still
    // has with the same content is judged there alone; one with other
    // content under the same key is another row its till numbered alike.
    void addStation(const StationFile& now, const std::vector<StationFile>& earlier,
                    std::set<std::string>& callers) {
        versions_.clear();
        heldOther_.clear();
        addFile(now, callers, false);
        for (const StationFile& e : earlier) addFile(e, callers, true);
        judgeHeldOther();
    }

    void addFile(const StationFile& file, std::set<std::string>& callers, bool earlier) {
        SqliteFile raw(file.path, true);
        const TableShape shape = readShape(raw, shadowName(t_.table));
        if (shape.columns.empty()) {
            throw Error(file.path.string() + " has no shadow of " + std::string(t_.table) +
                        ": install the shadows before the run (qelexp-chaos-check --prepare)");
        }
        TableShape liveShape = readShape(raw, t_.table);
        std::vector<char> states;
        raw.query(stateQuery(t_, liveShape), {},
                  [&](sqlite3_stmt* stmt) { states.push_back(columnText(stmt, 0)[0]); });
        raw.query("SELECT CDFILIAL || '/' || CDCAIXA FROM CAIXA", {},
                  [&](sqlite3_stmt* stmt) { callers.insert(columnText(stmt, 0)); });

        SystemClock clock;
        db::Connection station(clock,
                               "Provider=SQLite;Data Source=" + file.path.parent_path().string() +
                                   ";Initial Catalog=" + file.path.filename().string());
        const Dataset data =
            station.query("SELECT * FROM " + shadowName(t_.table) + " ORDER BY rowid");
        station.close();
        if (data.recordCount() != states.size()) {
            throw Error(file.path.string() + ": the shadow of " + std::string(t_.table) +
                        " changed while it was read");
        }
        const server::PacketView view(rule(), data);
        const int saleNumber = data.findField("NRSEQVENDA");
        if (!reducer_) reducer_.emplace(data.fields(), t_.ackColumns);
        const RowContent& reduce = *reducer_;
        std::vector<std::pair<Bytes, Bytes>> added;  // versions this file adds, by key
        for (std::size_t r = 0; r < data.recordCount(); ++r) {
            Bytes key, content;
            const auto reason =
                view.analyse(r, nullptr, sourceOf(data, r, file.firstStation), key, content);
            content = reduce.withoutAck(content);
            if (!reason) {
                const auto seen = versions_.find(key);
                if (earlier && seen != versions_.end() &&
                    std::find(seen->second.begin(), seen->second.end(), content) !=
                        seen->second.end()) {
                    continue;
                }
                added.emplace_back(key, content);
            }
            ++out_.written;
            contents_.insert(content);
            bool heldSame = false, heldOther = false;
            if (!reason) {
                const auto it = held_.find(key);
                if (it != held_.end()) {
                    it->second.matched = true;
                    heldSame = reduce.withoutAck(it->second.content) == content;
                    heldOther = !heldSame;
                }
            }
            const char state = states[r];
            // Still waiting when the restore took it, and not held: it went
            // with the restore. Held, it was sent in time.
            if (earlier && (state == 'O' || state == 'U' || state == 'P')) {
                if (heldSame) {
                    ++out_.settled;
                } else {
                    ++out_.goneWithRestore;
                }
                continue;
            }
            if (state == 'O') {
                ++out_.open;
                continue;
            }
            if (state == 'U') {
                if (heldSame) {
                    ++out_.unflagged;
                    example(data, r, liveShape, "unflagged: its sale is flagged, it is held");
                } else {
                    ++out_.stranded;
                    example(data, r, liveShape, "stranded: its sale is flagged, it is not held");
                }
                continue;
            }
            if (state == 'P') {
                ++out_.pending;
                example(data, r, liveShape, "pending");
                continue;
            }
            ++out_.settled;
            if (state == 'D') ++out_.deleted;
            if (heldSame) continue;
            // Only a sale's flagged row still at the station is sent again
            // after a central restore took it.
            const bool resendable =
                state == 'S' && !earlier &&
                (t_.table == "VENDA" ||
                 ((t_.saleChild || t_.onlyWithItsSale) && saleNumber >= 0 &&
                  !data.rows()[r][static_cast<std::size_t>(saleNumber)].isEmpty()));
            std::string what = state == 'S' ? "falsely flagged" : "lost (deleted)";
            if (heldOther) {
                // Lost, unless the server holds another row of the station
                // under this key: known once every copy has been read.
                heldOther_.push_back(
                    {key, content, state, resendable,
                     describe(data, r, liveShape, what + ", held with other content")});
                continue;
            }
            if (!resendable && !reason && heldBeforeRestore(key, content)) {
                ++out_.goneWithCentralRestore;
                continue;
            }
            if (!resendable && !reason && heldBefore_.contains(key)) {
                // A store a central restore replaced held another row under
                // this key: known once every copy has been read.
                heldOther_.push_back({key, content, state, resendable,
                                      describe(data, r, liveShape, what + ", not held")});
                continue;
            }
            ++out_.lost;
            if (state == 'S') ++out_.falselyFlagged;
            what += reason ? ", no central key: " + *reason : ", not held";
            example(data, r, liveShape, what);
        }
        for (auto& [key, content] : added) versions_[std::move(key)].push_back(std::move(content));
    }

    // A settled row whose key the server holds with other content is lost,
    // unless that content is another row the station had under the same key
    // (before or after a restore): a key holds one row, so one of the two
    // cannot be held. Such rows are counted apart, as reused. So is a row no
    // longer at its station whose key the server held with another row of
    // its station until a central restore took that one.
    void judgeHeldOther() {
        for (const HeldOther& row : heldOther_) {
            const std::vector<Bytes>& seen = versions_[row.key];
            const auto isSeen = [&](const Bytes& content) {
                return std::find(seen.begin(), seen.end(), reducer_->withoutAck(content)) !=
                       seen.end();
            };
            bool reused = false;
            if (const auto now = held_.find(row.key); now != held_.end()) {
                reused = isSeen(now->second.content);
            } else if (const auto before = heldBefore_.find(row.key); before != heldBefore_.end()) {
                reused = std::any_of(before->second.begin(), before->second.end(), isSeen);
            }
            if (reused) {
                ++out_.reused;
                continue;
            }
            if (!row.resendable && heldBeforeRestore(row.key, row.content)) {
                ++out_.goneWithCentralRestore;
                continue;
            }
            ++out_.lost;
            if (row.state == 'S') ++out_.falselyFlagged;
            if (out_.examples.size() < kExamples) out_.examples.push_back(row.example);
        }
        heldOther_.clear();
    }

    TableCheck finish(const std::set<std::string>& callers) {
        for (auto& [key, held] : held_) {
            if (held.matched || !callers.contains(held.source)) continue;
            if (reducer_ && contents_.contains(reducer_->withoutAck(held.content))) {
                ++out_.duplicates;
            } else {
                ++out_.unexpected;
            }
        }
        return std::move(out_);
    }

  private:
    struct Held {
        Bytes content;
        std::string source;
        bool matched;
    };
    struct HeldOther {
        Bytes key, content;
        char state;
        bool resendable;
        std::string example;
    };
    // Whether a store a central restore replaced held the row as it is.
    bool heldBeforeRestore(const Bytes& key, const Bytes& content) const {
        const auto it = heldBefore_.find(key);
        if (it == heldBefore_.end()) return false;
        for (const Bytes& before : it->second) {
            if (reducer_->withoutAck(before) == content) return true;
        }
        return false;
    }
    const server::TableRule& rule() const { return ruleOf(t_.table); }
    void example(const Dataset& data, std::size_t row, const TableShape& shape,
                 const std::string& what) {
        if (out_.examples.size() < kExamples)
            out_.examples.push_back(describe(data, row, shape, what));
    }

    const CheckedTable& t_;
    TableCheck out_;
    std::map<Bytes, Held> held_;
    std::set<Bytes> contents_;
    // The contents each key had in the station being read, over its copies.
    std::map<Bytes, std::vector<Bytes>> versions_;
    std::vector<HeldOther> heldOther_;  // settled rows whose key holds other content
    // Rows the replaced central stores held that the store does not hold now
    // as they were, by key.
    std::map<Bytes, std::vector<Bytes>> heldBefore_;
    std::optional<RowContent> reducer_;
};

std::string firstStation(const std::filesystem::path& file) {
    SqliteFile raw(file, true);
    return raw.scalar("SELECT CDFILIAL || '/' || CDCAIXA FROM CAIXA ORDER BY 1 LIMIT 1");
}

}  // namespace

std::vector<TableCheck> checkRows(const std::vector<StationHistory>& stations, CentralRows& central,
                                  const std::vector<CentralRows*>& replaced) {
    std::vector<std::pair<StationFile, std::vector<StationFile>>> files;
    for (const StationHistory& s : stations) {
        std::vector<StationFile> earlier;
        for (const auto& path : s.earlier) earlier.push_back({path, firstStation(path)});
        files.emplace_back(StationFile{s.now, firstStation(s.now)}, std::move(earlier));
    }
    std::vector<TableCheck> out;
    for (const CheckedTable& t : checkedTables()) {
        TableChecker checker(t, central, replaced);
        std::set<std::string> callers;
        for (const auto& [now, earlier] : files) checker.addStation(now, earlier, callers);
        out.push_back(checker.finish(callers));
    }
    return out;
}

std::vector<TableCheck> checkRows(const std::vector<std::filesystem::path>& stationFiles,
                                  CentralRows& central) {
    std::vector<StationHistory> stations;
    for (const auto& path : stationFiles) stations.push_back({path, {}});
    return checkRows(stations, central);
}

std::vector<std::filesystem::path> earlierCopies(const std::filesystem::path& folder) {
    std::vector<std::pair<long long, std::filesystem::path>> numbered;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string stem = entry.path().stem().string();
        if (entry.path().extension() != ".db" || stem.empty() ||
            stem.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        numbered.emplace_back(std::stoll(stem), entry.path());
    }
    std::sort(numbered.rbegin(), numbered.rend());
    std::vector<std::filesystem::path> out;
    for (auto& [number, path] : numbered) out.push_back(std::move(path));
    return out;
}

}  // namespace qel::chaos
