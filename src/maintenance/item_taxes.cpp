// Recomputation of the stored taxes of sale items from quantity, prices,
// surcharge, discount and rates, for the waiting electronic sales whose
// stored ICMS value disagrees with the value their items give.

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "contracts/support_library.h"
#include "definitions/statement.h"
#include "export/data_module.h"

namespace qel::agent {
namespace {

using contracts::RoundABNT;
using contracts::Trunc2;

// The value as a fixed-point text with `places` decimals read back, as
// formatting with "###0.000" and parsing the text does: halves round away
// from zero on the decimal the binary value stands for (read at nine places,
// so 2.0005 stored as 2.000499… still rounds up).
double roundedThroughText(double value, int places) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.9f", value < 0 ? -value : value);
    const std::string s = buf;
    const auto point = s.find('.');
    const auto cut = static_cast<std::size_t>(places);
    std::string kept = s.substr(0, point) + s.substr(point + 1, cut);
    long double magnitude = std::stold(kept);
    if (s[point + 1 + cut] >= '5') magnitude += 1;
    long double scale = 1;
    for (int i = 0; i < places; ++i) scale *= 10;
    const double result = static_cast<double>(magnitude / scale);
    return (value < 0 && result != 0.0) ? -result : result;
}

// A rate in percent as the item query delivers its text: every "." becomes
// "," and the text is read with "," as the decimal separator. An empty text
// means no rate. Throws ConversionError on a text that is not a number.
std::optional<double> ratePercent(const FieldRef& field) {
    std::string text = field.asString();
    if (contracts::EmptyString(text)) return std::nullopt;
    for (char& c : text) {
        if (c == '.') c = ',';
    }
    return Variant(text).asFloat();
}

// The tax values of one item row, in the order of evaluation the fiscal
// documents were computed with.
struct ItemTaxes {
    double VRBASECALCICMS = 0, VRBASECALCREDUZ = 0, VRIMPOPRODIT = 0, VRIMPOPRODREDUZ = 0,
           VRBCREDUZICMS = 0, VRIMPPIS = 0, VRIMPCOFINS = 0, VRBCPISCOFINS = 0;
};

ItemTaxes computeItemTaxes(const Dataset& item) {
    const auto num = [&](std::string_view name) { return item.field(name).asFloat(); };
    ItemTaxes t;
    const double price = roundedThroughText(num("VRUNITVEND") + num("VRUNITVENDCL"), 3);
    const double quantity = roundedThroughText(num("QTPRODVEND"), 4);
    const double gross = Trunc2(quantity * price);
    const double base = gross + num("VRACRITVEND") - num("VRDESITVEND");
    const double pisCofinsBase = roundedThroughText(num("VRBCPISCOFINS"), 3);
    const double reduction = num("VRPERCREDUCAO");
    const double rate = num("VRPEALPRODIT");

    // Reset for every row: a row without reduction or rate never carries
    // the previous row's values.
    double reducedBase = 0;
    if (reduction > 0) reducedBase = Trunc2(base - base * (reduction / 100));
    t.VRBASECALCICMS = base;
    t.VRBASECALCREDUZ = reducedBase;
    t.VRIMPOPRODIT = RoundABNT((rate / 100) * base, 2);
    t.VRIMPOPRODREDUZ = RoundABNT((rate / 100) * reducedBase, 2);
    t.VRBCREDUZICMS = reduction > 0 ? base - reducedBase : 0;
    if (const auto pis = ratePercent(item.field("VRALIQPIS"))) {
        t.VRIMPPIS = RoundABNT((*pis / 100) * pisCofinsBase, 2);
    }
    if (const auto cofins = ratePercent(item.field("VRALIQCOFINS"))) {
        t.VRIMPCOFINS = RoundABNT((*cofins / 100) * pisCofinsBase, 2);
    }
    t.VRBCPISCOFINS = pisCofinsBase;
    return t;
}

}  // namespace

// Visits each sale that adqAjuItVendaImpos finds for the station (waiting
// electronic sales whose stored ICMS disagrees with their items) and
// rewrites the first tax line of each of its items. Sales whose taxes agree
// are never rewritten.
void TdtmExportaVenda::AjustaItVendaImpos() {
    try {
        const db::Params station{{"P_CDFILIAL", Variant(run.CDFILIAL)},
                                 {"P_CDCAIXA", Variant(run.CDCAIXA)}};
        const Dataset found = adcCaixa.query(definitions::statement("adqAjuItVendaImpos"), station);
        // The query names no order; visit the sales in number order.
        std::vector<std::string> sales;
        for (const Row& row : found.rows()) {
            sales.push_back(row[found.fieldIndex("NRSEQVENDA")].asString());
        }
        std::sort(sales.begin(), sales.end());
        for (const std::string& sale : sales) {
            db::Params params = station;
            params.set("P_NRSEQVENDA", Variant(sale));
            Dataset items = adcCaixa.query(definitions::statement("adqVenda"), params);
            for (items.first(); !items.eof(); items.next()) {
                const std::string itemSale = items.field("NRSEQVENDA").asString();
                GravaLog("AjustaItVendaImpos (RoundABNT) NRSEQVENDA:  " + itemSale);
                const ItemTaxes t = computeItemTaxes(items);
                adcCaixa.execute(definitions::statement("acmUpdImpItem"),
                                 {{"VRIMPOPRODIT", Variant(t.VRIMPOPRODIT)},
                                  {"VRBASECALCICMS", Variant(t.VRBASECALCICMS)},
                                  {"VRBASECALCREDUZ", Variant(t.VRBASECALCREDUZ)},
                                  {"VRIMPOPRODREDUZ", Variant(t.VRIMPOPRODREDUZ)},
                                  {"VRBCREDUZICMS", Variant(t.VRBCREDUZICMS)},
                                  {"VRIMPPIS", Variant(t.VRIMPPIS)},
                                  {"VRIMPCOFINS", Variant(t.VRIMPCOFINS)},
                                  {"VRBCPISCOFINS", Variant(t.VRBCPISCOFINS)},
                                  {"CDFILIAL", Variant(run.CDFILIAL)},
                                  {"CDCAIXA", Variant(run.CDCAIXA)},
                                  {"NRSEQVENDA", Variant(itemSale)},
                                  {"NRSEQUITVEND", Variant(items.field("NRSEQUITVEND").asString())},
                                  {"NRSEQITIMPOS", Variant("001")}});
                GravaLog("Execute AjustaItVendaImpos");
            }
        }
    } catch (const std::exception& e) {
        GravaLog(std::string("ERRO Except AjustaItVendaImpos: ") + e.what());
    }
}

}  // namespace qel::agent
