#include "consistency_check.h"

#include <algorithm>
#include <numeric>

#include "canonical_row.h"
#include "core/error.h"
#include "core/text.h"
#include "protocol/codec.h"
#include "table_rules.h"

namespace qel::testing {
namespace {

struct CheckedTable {
    std::string_view table;
    std::string_view exported;  // condition on the row T: flagged as exported
    std::vector<std::string_view> flags;
};

// A sale's items and taxes travel with their sale: they count as exported
// once the sale is, and stay so when its header is altered afterwards ("A":
// only the header is sent again).
constexpr std::string_view kSaleExported =
    "EXISTS (SELECT 1 FROM VENDA V WHERE V.CDFILIAL = T.CDFILIAL AND V.CDCAIXA = T.CDCAIXA "
    "AND V.NRSEQVENDA = T.NRSEQVENDA AND V.IDIMPVENDA IN ('S','A'))";

const std::vector<CheckedTable>& checkedTables() {
    static const std::vector<CheckedTable> tables = {
        {"VENDA", "T.IDIMPVENDA = 'S'", {"IDIMPVENDA", "DTEXPVENDA"}},
        {"ITEMVENDA", kSaleExported, {}},
        {"ITVENDAIMPOS", kSaleExported, {}},
        {"TURCAIXA", "T.IDATUTURCAIXA = 'S'", {"IDATUTURCAIXA", "DTEXPTURCAIXA"}},
        {"MOVCAIXA", "T.IDIMPMOVCAIXA = 'S'", {"IDIMPMOVCAIXA"}},
        {"REDUCAOZ", "T.IDIMPREDUCAO = 'S'", {"IDIMPREDUCAO"}},
        {"LOGACESSO", "T.IDIMPLOGACESSO = 'S'", {"IDIMPLOGACESSO"}},
        {"LOGOPERQEL", "T.IDIMPLOGOPERQEL = 'S'", {"IDIMPLOGOPERQEL"}},
        {"CMD_LOG", "T.IDEXPREGISTRO = 'S'", {"IDEXPREGISTRO"}},
        {"ITCMD_LOG", "T.IDEXPREGISTRO = 'S'", {"IDEXPREGISTRO"}},
    };
    return tables;
}

// The packet element whose rows are plain rows of `table`.
const server::TableRule& ruleOf(std::string_view table) {
    for (const server::TableRule& rule : server::tableRules()) {
        if (rule.table == table && rule.stationTable.empty() && rule.renamed.empty() &&
            rule.selectionKey.empty()) {
            return rule;
        }
    }
    throw Error("No packet carries plain rows of " + std::string(table));
}

// The values of a content encoding, each encoded again on its own so that two
// contents compare value by value.
std::vector<Bytes> contentValues(const Bytes& content) {
    const Variant decoded = protocol::decode(content);
    std::vector<Bytes> values;
    if (!decoded.isArray()) return values;
    for (const Variant& v : decoded.asArray()) values.push_back(protocol::encode(v));
    return values;
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
    for (const CheckedTable& checked : checkedTables()) {
        const server::TableRule& rule = ruleOf(checked.table);
        const Dataset rows = station.query("SELECT T.* FROM " + std::string(checked.table) +
                                           " T WHERE " + std::string(checked.exported));
        const std::vector<FieldDef>& fields = rows.fields();

        // Content order as the server encodes it: by upper-case column name.
        std::vector<std::size_t> order(fields.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return text::upper(fields[a].name) < text::upper(fields[b].name);
        });
        ExportedRows::Table& table = out.byTable[std::string(checked.table)];
        for (std::size_t i : order) {
            const std::string name = text::upper(fields[i].name);
            table.columns.push_back(name);
            table.isFlag.push_back(std::any_of(checked.flags.begin(), checked.flags.end(),
                                               [&](std::string_view f) { return f == name; }));
        }

        std::vector<std::size_t> keyColumns;
        for (const std::string& column : rule.rowKey) {
            const int c = rows.findField(column);
            if (c < 0) {
                throw Error(std::string(checked.table) + " has no key column " + column);
            }
            keyColumns.push_back(static_cast<std::size_t>(c));
        }
        const server::RowContentCoder coder(fields);
        for (const Row& row : rows.rows()) {
            ExportedRows::Held held;
            coder.encode(row, held.content);
            Bytes key;
            held.description = std::string(checked.table) + " (";
            for (std::size_t k = 0; k < keyColumns.size(); ++k) {
                held.description += (k ? ", " : "") + row[keyColumns[k]].asString();
            }
            held.description += ")";
            const bool wholeRow = std::any_of(keyColumns.begin(), keyColumns.end(),
                                              [&](std::size_t c) { return row[c].isEmpty(); });
            if (wholeRow) {
                // Stored under its whole content; a flag change would make it
                // another row, so such rows are only reported, never matched.
                protocol::encodeArrayHeaderTo(2, key);
                protocol::encodeTo(Variant(std::string(database)), key);
                protocol::encodeTo(Variant(held.content), key);
            } else {
                protocol::encodeArrayHeaderTo(keyColumns.size() + 1, key);
                protocol::encodeTo(
                    Variant(rule.keyNamesStation ? std::string() : std::string(database)), key);
                for (std::size_t c : keyColumns) server::encodeCanonical(row[c], key);
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
            refs.push_back({name, key});
            held.push_back(&row);
        }
        const std::vector<std::optional<Bytes>> stored = central.getContents(refs);
        for (std::size_t r = 0; r < refs.size(); ++r) {
            if (!stored[r]) {
                problems.push_back(held[r]->description + ": flagged as exported, not held");
                continue;
            }
            const std::vector<Bytes> local = contentValues(held[r]->content);
            const std::vector<Bytes> remote = contentValues(*stored[r]);
            if (local.size() != remote.size() || local.empty() || local[0] != remote[0]) {
                problems.push_back(held[r]->description + ": held with other columns");
                continue;
            }
            std::string differing;
            for (std::size_t i = 1; i < local.size(); ++i) {
                if (local[i] != remote[i] && !table.isFlag[i - 1]) {
                    differing += (differing.empty() ? "" : ", ") + table.columns[i - 1];
                }
            }
            if (!differing.empty()) {
                problems.push_back(held[r]->description + ": held with other " + differing);
            }
        }
    }
    return problems;
}

std::vector<std::string> pendingRows(db::Connection& station) {
    static const std::pair<std::string_view, std::string_view> kPending[] = {
        {"VENDA", "IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'"},
        {"MOVCAIXA", "IDIMPMOVCAIXA <> 'S' AND NRSEQVENDA IS NULL"},
        {"REDUCAOZ", "IDIMPREDUCAO <> 'S'"},
        {"LOGACESSO", "IDIMPLOGACESSO <> 'S'"},
        {"LOGOPERQEL", "IDIMPLOGOPERQEL <> 'S' AND NRSEQVENDA IS NULL"},
        {"CMD_LOG", "IDEXPREGISTRO = 'N'"},
        {"ITCMD_LOG", "IDEXPREGISTRO = 'N'"}};
    std::vector<std::string> problems;
    for (const auto& [table, condition] : kPending) {
        const Dataset d = station.query("SELECT COUNT(*) FROM " + std::string(table) + " WHERE " +
                                        std::string(condition));
        const std::int64_t n = d.field(std::size_t{0}).asInteger();
        if (n > 0) problems.push_back(std::string(table) + ": " + std::to_string(n) + " pending");
    }
    return problems;
}

}  // namespace qel::testing
