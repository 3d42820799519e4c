#include "table_rules.h"

namespace qel::server {
namespace {

using K = KeyKind;

std::array<TableRule, kPacketCount> buildRules() {
    // Keys of the acknowledged tables are the columns the agent binds when it
    // flags its local rows; the other tables use their natural keys, or the
    // whole row where the station schema gives none.
    const std::vector<KeyColumn> saleKey = {{"CDFILIAL"}, {"CDCAIXA"}, {"NRSEQVENDA"}};
    auto saleChild = [&](std::string_view seq) {
        std::vector<KeyColumn> k = saleKey;
        k.push_back({seq});
        return k;
    };
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
        /* 6 */
        {"ITCOMANDAVEN",
         {{"CDFILIAL"}, {"NRVENDARESTPEND"}, {"NRCOMANDAPEND"}, {"NRPRODCOMVENPEN"}}},
        /* 7 */ {"PEDIDOQEL", {{"CDFILIAL"}, {"NRPEDIDOQEL"}}, 6},
        /* 8 */ {"ITPEDIDOQEL", {}},
        /* 9 */ {"NOVOCODNFCE", {{"CDCONTADOR"}}},
        /* 10 */
        {"ARQCAT52", {{"CDFILIAL"}, {"CDCAIXA"}, {"NRSERIECAT52"}, {"DTMOVCAT52", K::DateTime}}, 7},
        /* 11 */
        {"REDUCAOZ", {{"CDFILIAL"}, {"CDCAIXA"}, {"NRECFREDZ"}, {"DTREDUCAOZ", K::DateTime}}, 8},
        /* 12 */ {"IMPOSTOREDZ", {}},
        /* 13 */ {"TOTNFISCREDZ", {}},
        /* 14 */ {"FORMPGTOREDZ", {}},
        /* 15 */ {"TURCAIXA", {{"CDFILIAL"}, {"CDCAIXA"}, {"DTABERCAIX", K::DateTime}}, 9},
        /* 16 */
        {"VENDA", saleKey, 10, {"IDSITUVENDA", "CDVENDEDOR", "IDENVIOFID4ALL", "IDENVIOFIDUDS"}},
        /* 17 */ {"EXTRATOCONS", extratoKey, 12},
        /* 18 */ {"ITEMVENDA", saleChild("NRSEQUITVEND")},
        /* 19 */ {"ITVENDAIMPOS", saleChild("NRSEQITIMPOS")},
        /* 20 */ {"ITVENDACAN", saleChild("NRSEQITVENDC")},
        /* 21 */ {"ITEMVENDAEST", saleChild("NRSEQUITVEND")},
        /* 22 */
        {"MOVCAIXA", {{"CDFILIAL"}, {"CDCAIXA"}, {"DTABERCAIX", K::DateTime}, {"NRSEQUMOVI"}}, 11},
        /* 23 */ {"MOVICLIE", {{"CDCLIENTE"}, {"NRSEQMOVCLI"}}},
        /* 24 */ {"ESTORNOVND", saleKey, 13},
        /* 25 */ {"EXTRATOCONS", {}},
        /* 26 */ {"MOVICLIE", {}},
        /* 27 */ {"ITFIDELIDADE", {}},
        /* 28 */ {"MOVBENEFICIOCONS", saleChild("NRSEQBENECONS")},
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
        /* 30 */ {"OBSITEMVENDA", {}},
        /* 31 */ {"OBSITEMVENDAEST", {}},
        /* 32 */ {"ITHRCOMANDA", {}},
        /* 33 */ {"RELVENDAS", {{"CDFILIAL"}, {"CDCAIXA"}, {"DTENTRVENDA", K::DateTime}}},
        /* 34 */ {"ITVENDADES", saleChild("NRSEQITVENDADES")},
        /* 35: extract rows of sales already exported, same central table */
        {"EXTRATOCONS", extratoKey},
        /* 36 */ {"USOCUPOMDESCQEL", {}},
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
        /* 39 */ {"PRODBLOQVNDTAA", {}, 17},
        /* 40 */ {"ENDECONS", {{"CDCONSUMIDOR"}, {"CDCLIENTE"}, {"CDENDECONS"}}, 18},
        /* 41 */ {"LOGNFCE", saleChild("NRSEQLOGNFCE"), 19},
        /* 42 */ {"KDS_TEMP_SETOREST", {}},
        /* 43 */ {"PROMOVENDA", {}},
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
        /* 46 */ {"VALEPRESENTE", {}},
    }};
}

}  // namespace

const std::array<TableRule, kPacketCount>& tableRules() {
    static const std::array<TableRule, kPacketCount> rules = buildRules();
    return rules;
}

const std::array<int, kResultCount>& resultSources() {
    static const std::array<int, kResultCount> sources = [] {
        std::array<int, kResultCount> s{};
        const auto& rules = tableRules();
        for (int i = 0; i < kPacketCount; ++i) {
            if (rules[i].resultIndex >= 0) s[rules[i].resultIndex] = i;
        }
        return s;
    }();
    return sources;
}

}  // namespace qel::server
