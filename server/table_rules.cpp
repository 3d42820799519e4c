#include "table_rules.h"

#include <algorithm>

#include "core/error.h"
#include "core/text.h"
#include "station_keys.h"

namespace qel::server {
namespace {

using K = KeyKind;

// Verdict columns are the keys the agent binds when it flags its local rows;
// they are the agent's contract and are listed here. The central key of every
// element is not: it is read from the station schema (see deriveRowKey).
std::array<TableRule, kPacketCount> listRules() {
    const std::vector<KeyColumn> saleKey = {{"CDFILIAL"}, {"CDCAIXA"}, {"NRSEQVENDA"}};
    const std::vector<KeyColumn> extratoKey = {{"CDCLIENTE"},
                                               {"CDCONSUMIDOR"},
                                               {"CDFAMILISALD"},
                                               {"DTMOVEXTCONS", K::DateTime},
                                               {"NRSEQMOVEXT"}};
    return {{
        /* 0 */ {"CONSUMIDOR", {{"CDCONSUMIDOR"}, {"CDCLIENTE"}}, 0},
        /* 1 */ {"OPERADOR", {{"CDOPERADOR"}}, 1},
        /* 2 */
        {"LOGOPERQEL",
         {{"CDFILIAL"}, {"CDCAIXA"}, {"IDOPERQEL"}, {"CDOPERRESPOP"}, {"DTHROPERQEL", K::IsoText}},
         2},
        /* 3 */ {"LOGACESSO", {{"CDOPERADOR"}, {"DSSISTEMA"}, {"DTHRACESSO", K::DateTime}}, 3},
        /* 4 */ {"CONTROLSENHA", {{"CDOPERADOR"}, {"DTALTSENHA", K::DateTime}, {"CDSENHALT"}}, 4},
        /* 5 */ {"INUTILIZANFCE", {{"CDFILIAL"}, {"CDCAIXA"}, {"NRNOTAFISCALCE"}}, 5},
        /* 6: open order items, renamed by their selection */
        {.table = "ITCOMANDAVEN",
         .renamed = {{"NRVENDAREST", "NRVENDARESTPEND"},
                     {"NRCOMANDA", "NRCOMANDAPEND"},
                     {"NRPRODCOMVEN", "NRPRODCOMVENPEN"}},
         .resentEveryRun = true},
        /* 7 */ {"PEDIDOQEL", {{"CDFILIAL"}, {"NRPEDIDOQEL"}}, 6},
        /* 8 */ {"ITPEDIDOQEL"},
        /* 9: the station's NFC-e counters */
        {.table = "NOVOCODNFCE", .stationTable = "NOVOCODIGO", .resentEveryRun = true},
        /* 10 */
        {"ARQCAT52", {{"CDFILIAL"}, {"CDCAIXA"}, {"NRSERIECAT52"}, {"DTMOVCAT52", K::DateTime}}, 7},
        /* 11 */
        {"REDUCAOZ", {{"CDFILIAL"}, {"CDCAIXA"}, {"NRECFREDZ"}, {"DTREDUCAOZ", K::DateTime}}, 8},
        /* 12 */ {"IMPOSTOREDZ"},
        /* 13 */ {"TOTNFISCREDZ"},
        /* 14 */ {"FORMPGTOREDZ"},
        /* 15 */ {"TURCAIXA", {{"CDFILIAL"}, {"CDCAIXA"}, {"DTABERCAIX", K::DateTime}}, 9},
        /* 16 */
        {"VENDA", saleKey, 10, {"IDSITUVENDA", "CDVENDEDOR", "IDENVIOFID4ALL", "IDENVIOFIDUDS"}},
        /* 17 */ {"EXTRATOCONS", extratoKey, 12},
        /* 18 */ {"ITEMVENDA"},
        /* 19 */ {"ITVENDAIMPOS"},
        /* 20 */ {"ITVENDACAN"},
        /* 21 */ {"ITEMVENDAEST"},
        /* 22 */
        {"MOVCAIXA", {{"CDFILIAL"}, {"CDCAIXA"}, {"DTABERCAIX", K::DateTime}, {"NRSEQUMOVI"}}, 11},
        /* 23 */ {"MOVICLIE"},
        /* 24 */ {"ESTORNOVND", saleKey, 13},
        /* 25 */ {"EXTRATOCONS"},
        /* 26 */ {"MOVICLIE"},
        /* 27 */ {"ITFIDELIDADE"},
        /* 28 */ {"MOVBENEFICIOCONS"},
        /* 29 */
        {"MOVBENEFICIOCTR",
         {{"CDCLIENTE"},
          {"CDCONSUMIDOR"},
          {"CDCAMPANHA"},
          {"NRSEQPRODCAMP"},
          {"NRSEQBENEFICIO"},
          {"QTDEBENEFICIO", K::Float}},
         14,
         {},
         ResultLayout::MovBeneficioCtr},
        /* 30 */ {"OBSITEMVENDA"},
        /* 31 */ {"OBSITEMVENDAEST"},
        /* 32 */ {"ITHRCOMANDA"},
        /* 33: one row per station and sale day, summed from VENDA */
        {.table = "RELVENDAS",
         .selectionKey = {"CDFILIAL", "CDCAIXA", "DTENTRVENDA"},
         .resentEveryRun = true},
        /* 34 */ {"ITVENDADES"},
        /* 35: extract rows of sales already exported, answered after those of 17 */
        {"EXTRATOCONS", extratoKey, 12},
        /* 36 */ {"USOCUPOMDESCQEL"},
        /* 37 */
        {"LOGSINCDLV",
         {{"CDFILIAL"}, {"CDLOJA"}, {"DTHRABERMESA", K::DateTime}, {"NRVENDARESTAUX"}},
         15},
        /* 38 */
        {"TOTALDIACAIXA",
         {{"CDFILIAL"}, {"CDCAIXA"}, {"DTTOTAL", K::Date}},
         16,
         {},
         ResultLayout::TotalDiaCaixa},
        /* 39 */ {.table = "PRODBLOQVNDTAA", .resultIndex = 17, .resentEveryRun = true},
        /* 40 */ {"ENDECONS", {{"CDCONSUMIDOR"}, {"CDCLIENTE"}, {"CDENDECONS"}}, 18},
        /* 41 */
        {"LOGNFCE", {{"CDFILIAL"}, {"CDCAIXA"}, {"NRSEQVENDA"}, {"NRSEQLOGNFCE"}}, 19},
        /* 42 */ {"KDS_TEMP_SETOREST"},
        /* 43 */ {"PROMOVENDA"},
        /* 44 */
        {"CMD_LOG",
         {{"CDFILIAL"}, {"NRVENDAREST"}, {"NRCOMANDA"}, {"DTHRREGISTRO", K::DayMonthYearText}},
         20},
        /* 45 */
        {"ITCMD_LOG",
         {{"CDFILIAL"},
          {"NRVENDAREST"},
          {"NRCOMANDA"},
          {"NRPRODCOMVEN"},
          {"DTHRINCOMVEN", K::DayMonthYearText}},
         21},
        /* 46 */ {"VALEPRESENTE"},
    }};
}

// The packet columns that identify a row of this element in its station
// database: the station table's primary key under the names the packet uses.
void deriveRowKey(TableRule& rule, const PrimaryKeys& keys) {
    if (!rule.selectionKey.empty()) {
        for (std::string_view c : rule.selectionKey) rule.rowKey.emplace_back(c);
    } else {
        const std::string_view table = rule.stationTable.empty() ? rule.table : rule.stationTable;
        const auto it = keys.find(table);
        if (it == keys.end()) {
            throw Error("The station schema has no primary key for " + std::string(table));
        }
        for (const std::string& column : it->second) {
            std::string sent = column;
            for (const RenamedColumn& r : rule.renamed) {
                if (text::iequals(r.column, column)) sent = std::string(r.sent);
            }
            rule.rowKey.push_back(std::move(sent));
        }
    }
    auto has = [&](std::string_view c) {
        return std::any_of(rule.rowKey.begin(), rule.rowKey.end(),
                           [&](const std::string& k) { return text::iequals(k, c); });
    };
    rule.keyNamesStation = has("CDFILIAL") && has("CDCAIXA");
}

std::array<TableRule, kPacketCount> buildRules() {
    std::array<TableRule, kPacketCount> rules = listRules();
    for (int i = 0; i < kPacketCount; ++i) {
        if (i == kExtratoDateIndex || i == kMoviClieDateIndex) continue;
        deriveRowKey(rules[i], stationPrimaryKeys());
    }
    return rules;
}

}  // namespace

const std::array<TableRule, kPacketCount>& tableRules() {
    static const std::array<TableRule, kPacketCount> rules = buildRules();
    return rules;
}

bool isResentEveryRun(std::string_view table) {
    // Asked for every row a PostgreSQL store takes in: the few names, once.
    static const std::vector<std::string_view> resent = [] {
        std::vector<std::string_view> names;
        for (const TableRule& r : tableRules()) {
            if (r.resentEveryRun) names.push_back(r.table);
        }
        return names;
    }();
    return std::find(resent.begin(), resent.end(), table) != resent.end();
}

const std::array<std::vector<int>, kResultCount>& resultSources() {
    static const std::array<std::vector<int>, kResultCount> sources = [] {
        std::array<std::vector<int>, kResultCount> s{};
        const auto& rules = tableRules();
        for (int i = 0; i < kPacketCount; ++i) {
            if (rules[i].resultIndex >= 0) s[rules[i].resultIndex].push_back(i);
        }
        return s;
    }();
    return sources;
}

}  // namespace qel::server
