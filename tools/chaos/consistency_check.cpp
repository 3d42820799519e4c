#include "consistency_check.h"

#include <algorithm>

#include "checked_tables.h"
#include "export_rows.h"

namespace qel::chaos {
namespace {

// A row counts as exported once its own flag is "S"; a sale's rows travel
// with their sale and stay exported when its header is altered afterwards
// ("A": only the header is sent again).
std::string exportedCondition(const CheckedTable& t) {
    if (!t.flag.empty()) return "T." + std::string(t.flag) + " = 'S'";
    return "EXISTS (SELECT 1 FROM VENDA V WHERE V.CDFILIAL = T.CDFILIAL AND V.CDCAIXA = "
           "T.CDCAIXA AND V.NRSEQVENDA = T.NRSEQVENDA AND V.IDIMPVENDA IN ('S','A'))";
}

// "TABLE (key values)", for the reports.
std::string describe(std::string_view table, const Dataset& rows, std::size_t r,
                     const server::TableRule& rule) {
    std::string text = std::string(table) + " (";
    bool first = true;
    for (const std::string& column : rule.rowKey) {
        const int c = rows.findField(column);
        if (c < 0) continue;
        text += (first ? "" : ", ") + rows.rows()[r][static_cast<std::size_t>(c)].asString();
        first = false;
    }
    return text + ")";
}

}  // namespace

std::size_t ExportedRows::size() const {
    std::size_t n = 0;
    for (const auto& [name, table] : byTable) n += table.rows.size();
    return n;
}

void ExportedRows::merge(const ExportedRows& other) {
    for (const auto& [name, table] : other.byTable) {
        auto [it, added] = byTable.try_emplace(name, table);
        if (!added) it->second.rows.insert(table.rows.begin(), table.rows.end());
    }
}

ExportedRows ExportedRows::without(const ExportedRows& other) const {
    ExportedRows out = *this;
    for (auto& [name, table] : out.byTable) {
        const auto known = other.byTable.find(name);
        if (known == other.byTable.end()) continue;
        std::erase_if(table.rows,
                      [&](const auto& row) { return known->second.rows.count(row.first) > 0; });
    }
    return out;
}

ExportedRows readExportedRows(db::Connection& station, std::string_view database) {
    ExportedRows out;
    for (const CheckedTable& checked : snapshotTables()) {
        const server::TableRule& rule = ruleOf(checked.table);
        const Dataset rows = station.query("SELECT T.* FROM " + std::string(checked.table) +
                                           " T WHERE " + exportedCondition(checked));
        ExportedRows::Table& table =
            out.byTable
                .try_emplace(std::string(checked.table),
                             ExportedRows::Table{RowContent(rows.fields(), checked.ackColumns), {}})
                .first->second;
        // Keyed as the server keys what the agent sends.
        const server::PacketView view(rule, rows);
        for (std::size_t r = 0; r < rows.recordCount(); ++r) {
            ExportedRows::Held held;
            held.description = describe(checked.table, rows, r, rule);
            Bytes key;
            if (auto refused = view.analyse(r, nullptr, database, key, held.content)) {
                // Never stored: kept apart from every central key.
                key = Bytes{0xC1};
                key.insert(key.end(), held.description.begin(), held.description.end());
                held.refused = std::move(*refused);
            }
            table.rows.emplace(std::move(key), std::move(held));
        }
    }
    return out;
}

std::vector<std::string> rowsNotHeld(const ExportedRows& rows, server::CentralStore& central) {
    std::vector<std::string> problems;
    for (const auto& [name, table] : rows.byTable) {
        std::vector<server::RowRef> refs;
        std::vector<const ExportedRows::Held*> held;
        for (const auto& [key, row] : table.rows) {
            if (!row.refused.empty()) {
                problems.push_back(row.description +
                                   ": flagged as exported, refused: " + row.refused);
                continue;
            }
            refs.push_back({name, key});
            held.push_back(&row);
        }
        const std::vector<std::optional<Bytes>> stored = central.getContents(refs);
        for (std::size_t r = 0; r < refs.size(); ++r) {
            if (!stored[r]) {
                problems.push_back(held[r]->description + ": flagged as exported, not held");
                continue;
            }
            const auto differing = table.content.differing(held[r]->content, *stored[r]);
            if (!differing) {
                problems.push_back(held[r]->description + ": held with other columns");
                continue;
            }
            if (differing->empty()) continue;
            std::string names;
            for (const std::string& column : *differing)
                names += (names.empty() ? "" : ", ") + column;
            problems.push_back(held[r]->description + ": held with other " + names);
        }
    }
    return problems;
}

std::vector<std::string> pendingRows(db::Connection& station) {
    std::vector<std::string> problems;
    for (const CheckedTable& t : snapshotTables()) {
        if (t.waiting.empty()) continue;
        const Dataset d = station.query("SELECT COUNT(*) FROM " + std::string(t.table) + " WHERE " +
                                        std::string(t.waiting));
        const std::int64_t n = d.field(std::size_t{0}).asInteger();
        if (n > 0) problems.push_back(std::string(t.table) + ": " + std::to_string(n) + " pending");
    }
    return problems;
}

}  // namespace qel::chaos
