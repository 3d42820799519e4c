// Store-level rows: orders with their items and kitchen sectors, restaurant tables and
// commands, command logs, delivery and kiosk logs, blocked products.
#include <string>

#include "simulator/generator.h"

namespace qel::simulator::detail {
namespace {

const Product& someProduct(Random& rng) {
    const auto& products = catalog().products;
    return products[static_cast<std::size_t>(
        rng.between(0, static_cast<std::int64_t>(products.size()) - 1))];
}

void counter(Writer& w, const std::string& key, std::int64_t value) {
    w.insert("NOVOCODIGO", {{"CDCONTADOR", key}, {"NRSEQUENCIAL", value}});
}

void order(Writer& w, Counters& counters, Random& rng, const std::string& store,
           const StationState& st, std::int64_t sale, Millis when, const char* status,
           Value lastUpdate) {
    const std::string number = padNumber(++counters.order, 10);
    const int itemCount = static_cast<int>(rng.between(1, 3));
    std::int64_t total = 0;
    for (int i = 1; i <= itemCount; ++i) {
        const Product& p = someProduct(rng);
        const std::int64_t qty = rng.between(1, 2);
        total += qty * p.price.value / 10;
        w.insert("ITPEDIDOQEL",
                 {{"CDFILIAL", store},
                  {"NRPEDIDOQEL", number},
                  {"NRSEQITPEDQEL", padNumber(i, 3)},
                  {"CDCAIXA", st.station},
                  {"NRSEQVENDA", sale > 0 ? Value{padNumber(sale, 10)} : Value{Null{}}},
                  {"CDPRODUTO", p.code},
                  {"QTPRODPEDQEL", Quantity{qty * 10000}},
                  {"VRUNITPEDQEL", p.price}});
    }
    counter(w, "ITPEDIDOQEL" + store + number, itemCount);
    w.insert("PEDIDOQEL", {{"CDFILIAL", store},
                           {"NRPEDIDOQEL", number},
                           {"CDCAIXA", st.station},
                           {"DTPEDIDOQEL", isoText(when)},
                           {"IDSTATUSPEDQEL", std::string(status)},
                           {"VRTOTPEDIDOQEL", Cents{total}},
                           {"DTULTATU", lastUpdate},
                           {"IDIMPPEDIDOQEL", std::string("N")},
                           {"NRPEDIDOQELMSDE", Null{}}});
    const char* sectors[] = {"COZI", "BAR "};
    for (int s = 0; s < 2; ++s) {
        w.insert("KDS_TEMP_SETOREST", {{"CDFILIAL", store},
                                       {"NRPEDIDOQEL", number},
                                       {"CDSETOREST", std::string(sectors[s])},
                                       {"DTHRENTRADA", isoText(when + kMinute)},
                                       {"DTHRSAIDA", isoText(when + (6 + s) * kMinute)}});
    }
}

}  // namespace

void writeStoreDay(Writer& w, Counters& counters, Random& rng, const std::string& store,
                   const std::vector<StationState>& stations,
                   const std::vector<std::int64_t>& firstSale, Millis day, bool lastDay,
                   bool exported) {
    const std::string flag = exported ? "S" : "N";
    for (std::size_t s = 0; s < stations.size(); ++s) {
        const StationState& st = stations[s];
        const std::int64_t first = firstSale[s];
        const std::int64_t sales = st.lastSale - first + 1;
        auto saleOfDay = [&] { return sales > 0 ? rng.between(first, st.lastSale) : 0; };
        const Millis noon = day + 12 * kHour + static_cast<Millis>(s) * kSecond;
        // A cancelled order of the day stays behind without being sent.
        order(w, counters, rng, store, st, 0, noon, "9", Value{isoText(noon + kMinute)});
        if (!exported) {
            // Finished orders wait for export: one without an update time, one updated.
            order(w, counters, rng, store, st, saleOfDay(), noon + 2 * kMinute, "4", Null{});
            order(w, counters, rng, store, st, saleOfDay(), noon + 4 * kMinute, "4",
                  Value{isoText(noon + 20 * kMinute)});
        }
        if (lastDay) {
            order(w, counters, rng, store, st, 0, noon + 6 * kMinute, "2",
                  Value{isoText(noon + 7 * kMinute)});
        }
    }

    // Restaurant commands closed during the day and their log lines.
    for (int c = 0; c < 2; ++c) {
        const std::string table = padNumber(++counters.restaurant, 10);
        const std::string command = padNumber(counters.restaurant, 10);
        const Millis opened = day + (19 + c) * kHour;
        w.insert("CMD_LOG", {{"CDFILIAL", store},
                             {"NRVENDAREST", table},
                             {"NRCOMANDA", command},
                             {"DTHRREGISTRO", isoText(opened)},
                             {"CDOPERADOR", catalog().operators[0]},
                             {"DSREGISTRO", std::string("ABERTURA DA COMANDA")},
                             {"IDEXPREGISTRO", flag}});
        w.insert("CMD_LOG", {{"CDFILIAL", store},
                             {"NRVENDAREST", table},
                             {"NRCOMANDA", command},
                             {"DTHRREGISTRO", isoText(opened + 50 * kMinute)},
                             {"CDOPERADOR", catalog().operators[0]},
                             {"DSREGISTRO", std::string("FECHAMENTO DA COMANDA")},
                             {"IDEXPREGISTRO", flag}});
        for (int i = 1; i <= 2; ++i) {
            const Product& p = someProduct(rng);
            w.insert("ITCMD_LOG", {{"CDFILIAL", store},
                                   {"NRVENDAREST", table},
                                   {"NRCOMANDA", command},
                                   {"NRPRODCOMVEN", padNumber(i, 6)},
                                   {"DTHRINCOMVEN", isoText(opened + i * 5 * kMinute)},
                                   {"CDPRODUTO", p.code},
                                   {"QTPRODCOMVEN", Quantity{10000}},
                                   {"DSREGISTRO", std::string("INCLUSAO DO ITEM")},
                                   {"IDEXPREGISTRO", flag}});
        }
    }

    // Delivery synchronisation: pending entries carry "N" or nothing at all.
    for (int d = 0; d < 2; ++d) {
        w.insert("LOGSINCDLV", {{"CDFILIAL", store},
                                {"CDLOJA", std::string("01")},
                                {"DTHRABERMESA", isoText(day + (11 + d) * kHour)},
                                {"NRVENDARESTAUX", padNumber(rng.between(1, 999999999), 10)},
                                {"DSLOGSINC", std::string("PEDIDO DELIVERY SINCRONIZADO")},
                                {"IDIMPLOG", exported ? Value{flag}
                                             : d == 0 ? Value{flag}
                                                      : Value{Null{}}}});
    }
    w.insert("LOGPEDIDOTAA", {{"CDFILIAL", store},
                              {"NRSEQLOGTAA", padNumber(++counters.restaurant, 10)},
                              {"DTHRPEDIDO", isoText(day + 13 * kHour)},
                              {"DSLOGTAA", std::string("PEDIDO DO TOTEM ENVIADO AO CAIXA")}});
}

void writeStoreSnapshot(Writer& w, Counters& counters, Random& rng, const std::string& store,
                        Millis day) {
    // Open tables: command state, description and item state decide what the export takes.
    struct OpenCommand {
        const char* description;
        const char* state;
        const char* itemStates[3];
    };
    const OpenCommand commands[] = {
        {"MESA 01", "A", {"1", "2", "6"}},  {"MESA 02", "A", {"2", "7", "1"}},
        {"MESA 03", "X", {"1", "1", "1"}},  {"MESA 04", "P", {"2", "2", "2"}},
        {"DLV 0001", "A", {"1", "2", "1"}},
    };
    int tableNumber = 0;
    for (const OpenCommand& c : commands) {
        const std::string table = padNumber(++counters.restaurant, 10);
        const std::string command = padNumber(counters.restaurant, 10);
        const Millis opened = day + 20 * kHour + tableNumber * kMinute;
        const Consumer& consumer = catalog().consumers[static_cast<std::size_t>(tableNumber)];
        w.insert("VENDAREST", {{"CDFILIAL", store},
                               {"NRVENDAREST", table},
                               {"CDLOJA", std::string("01")},
                               {"NRMESA", padNumber(++tableNumber, 4)},
                               {"DTHRABERMESA", isoText(opened)},
                               {"CDCLIENTE", consumer.client},
                               {"CDCONSUMIDOR", consumer.consumer}});
        w.insert("COMANDAVEN", {{"CDFILIAL", store},
                                {"NRVENDAREST", table},
                                {"NRCOMANDA", command},
                                {"DSCOMANDA", std::string(c.description)},
                                {"IDSTCOMANDA", std::string(c.state)}});
        for (int i = 0; i < 3; ++i) {
            const Product& p = someProduct(rng);
            w.insert("ITCOMANDAVEN", {{"CDFILIAL", store},
                                      {"NRVENDAREST", table},
                                      {"NRCOMANDA", command},
                                      {"NRPRODCOMVEN", padNumber(i + 1, 6)},
                                      {"CDLOJA", std::string("01")},
                                      {"CDCAIXACOLETOR", std::string("001")},
                                      {"CDPRODUTO", p.code},
                                      {"QTPRODCOMVEN", Quantity{10000}},
                                      {"VRPRECCOMVEN", p.price},
                                      {"VRDESCCOMVEN", Cents{0}},
                                      {"VRACRCOMVEN", Cents{0}},
                                      {"IDSTPRCOMVEN", std::string(c.itemStates[i])},
                                      {"DTHRINCOMVEN", isoText(opened + (i + 1) * kMinute)}});
        }
        counter(w, "ITCOMANDAVEN" + store + command, 3);
        w.insert("WAITERORDERS", {{"CDFILIAL", store},
                                  {"NRVENDAREST", table},
                                  {"NRORDER", padNumber(1, 10)},
                                  {"DTHRORDER", isoText(opened + kMinute)},
                                  {"DSORDER", std::string("PEDIDO DO GARCOM")}});
    }
    // An order of a table that was closed since.
    w.insert("WAITERORDERS", {{"CDFILIAL", store},
                              {"NRVENDAREST", padNumber(++counters.restaurant, 10)},
                              {"NRORDER", padNumber(1, 10)},
                              {"DTHRORDER", isoText(day + 12 * kHour)},
                              {"DSORDER", std::string("PEDIDO DO GARCOM")}});
    const auto& products = catalog().products;
    for (std::size_t i = 0; i < 4; ++i) {
        w.insert("PRODBLOQVNDTAA", {{"CDFILIAL", store},
                                    {"CDLOJA", std::string("01")},
                                    {"CDPRODUTO", products[i * 3].code},
                                    {"IDBLOQUEADO", std::string(i < 3 ? "S" : "N")},
                                    {"DTULTATU", isoText(day)}});
    }
}

}  // namespace qel::simulator::detail
