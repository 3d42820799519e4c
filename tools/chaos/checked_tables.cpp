#include "checked_tables.h"

#include <array>
#include <string>

namespace qel::chaos {

std::span<const CheckedTable> checkedTables() {
    static const std::array<CheckedTable, 18> tables = {{
        {"VENDA", 16, "IDIMPVENDA", false, {"IDIMPVENDA", "DTEXPVENDA", "NRSEQVENDAMSDE"}},
        {"ITEMVENDA", 18, {}, true},
        {"ITVENDAIMPOS", 19, {}, true},
        {"ITVENDACAN", 20, {}, true},
        {"ITEMVENDAEST", 21, {}, true},
        {"MOVCAIXA", 22, "IDIMPMOVCAIXA", false, {"IDIMPMOVCAIXA", "NRSEQUMOVIMSDE"}, true},
        {"MOVICLIE", 23, {}, true, {"IDBXVENDACAT", "IDBXMOVICLIE"}},
        {"EXTRATOCONS", 17, "IDIMPEXTRATO", false, {"IDIMPEXTRATO"}, true},
        {"ITFIDELIDADE", 27, "IDIMPTFIDEL", false, {"IDIMPTFIDEL"}, true},
        {"MOVBENEFICIOCONS", 28, {}, true, {"IDIMPTMOV"}},
        {"OBSITEMVENDA", 30, {}, true},
        {"OBSITEMVENDAEST", 31, {}, true},
        {"ITHRCOMANDA", 32, {}, true},
        {"ITVENDADES", 34, {}, true},
        {"LOGNFCE", 41, "IDIMPLOGNFCE", false, {"IDIMPLOGNFCE"}, true},
        {"PROMOVENDA", 43, {}, true},
        {"VALEPRESENTE", 46, {}, true},
        {"LOGOPERQEL", 2, "IDIMPLOGOPERQEL", false, {"IDIMPLOGOPERQEL"}},
    }};
    return tables;
}

std::string shadowName(std::string_view table) {
    return "CHAOS_" + std::string(table);
}

}  // namespace qel::chaos
