#include "checked_tables.h"

#include <array>

#include "core/error.h"

namespace qel::chaos {
namespace {

constexpr std::size_t kFollowed = 18;

const std::array<CheckedTable, kFollowed + 5>& tables() {
    static const std::array<CheckedTable, kFollowed + 5> all = {{
        {"VENDA",
         "IDIMPVENDA",
         false,
         {"IDIMPVENDA", "DTEXPVENDA", "NRSEQVENDAMSDE"},
         false,
         "IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'"},
        {"ITEMVENDA", {}, true},
        {"ITVENDAIMPOS", {}, true},
        {"ITVENDACAN", {}, true},
        {"ITEMVENDAEST", {}, true},
        {"MOVCAIXA",
         "IDIMPMOVCAIXA",
         false,
         {"IDIMPMOVCAIXA", "NRSEQUMOVIMSDE"},
         true,
         "IDIMPMOVCAIXA <> 'S' AND NRSEQVENDA IS NULL"},
        {"MOVICLIE", {}, true, {"IDBXVENDACAT", "IDBXMOVICLIE"}},
        {"EXTRATOCONS", "IDIMPEXTRATO", false, {"IDIMPEXTRATO"}, true},
        {"ITFIDELIDADE", "IDIMPTFIDEL", false, {"IDIMPTFIDEL"}, true},
        {"MOVBENEFICIOCONS", {}, true, {"IDIMPTMOV"}},
        {"OBSITEMVENDA", {}, true},
        {"OBSITEMVENDAEST", {}, true},
        {"ITHRCOMANDA", {}, true},
        {"ITVENDADES", {}, true},
        {"LOGNFCE", "IDIMPLOGNFCE", false, {"IDIMPLOGNFCE"}, true},
        {"PROMOVENDA", {}, true},
        {"VALEPRESENTE", {}, true},
        {"LOGOPERQEL",
         "IDIMPLOGOPERQEL",
         false,
         {"IDIMPLOGOPERQEL"},
         false,
         "IDIMPLOGOPERQEL <> 'S' AND NRSEQVENDA IS NULL"},
        // Checked by snapshots only.
        {"TURCAIXA", "IDATUTURCAIXA", false, {"IDATUTURCAIXA", "DTEXPTURCAIXA"}},
        {"REDUCAOZ", "IDIMPREDUCAO", false, {"IDIMPREDUCAO"}, false, "IDIMPREDUCAO <> 'S'"},
        {"LOGACESSO", "IDIMPLOGACESSO", false, {"IDIMPLOGACESSO"}, false, "IDIMPLOGACESSO <> 'S'"},
        {"CMD_LOG", "IDEXPREGISTRO", false, {"IDEXPREGISTRO"}, false, "IDEXPREGISTRO = 'N'"},
        {"ITCMD_LOG", "IDEXPREGISTRO", false, {"IDEXPREGISTRO"}, false, "IDEXPREGISTRO = 'N'"},
    }};
    return all;
}

}  // namespace

std::span<const CheckedTable> checkedTables() {
    return std::span<const CheckedTable>(tables()).first(kFollowed);
}

std::span<const CheckedTable> snapshotTables() {
    return tables();
}

const server::TableRule& ruleOf(std::string_view table) {
    for (const server::TableRule& rule : server::tableRules()) {
        if (rule.table == table && rule.stationTable.empty() && rule.renamed.empty() &&
            rule.selectionKey.empty()) {
            return rule;
        }
    }
    throw Error("No packet carries plain rows of " + std::string(table));
}

std::string shadowName(std::string_view table) {
    return "CHAOS_" + std::string(table);
}

}  // namespace qel::chaos
