// Parameter and master tables: store, shop, stations, products, taxes, operators and
// consumers, and the small helpers for codes and document keys.
#include <cstdio>
#include <string>

#include "simulator/generator.h"

namespace qel::simulator::detail {

std::string padNumber(std::int64_t number, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*lld", width, static_cast<long long>(number));
    return text;
}

std::string accessKey(const StationState& st, Millis when, std::int64_t number, char model,
                      int variant) {
    // State, year and month, the store's tax id, model, series, number, emission, code.
    const std::string day = isoText(when);
    std::string key = "35" + day.substr(2, 2) + day.substr(5, 2);
    key += "12345678" + st.store + "01";
    key += model == 'S' ? "59" : "65";
    key += st.series;
    key += padNumber(number, 9);
    key += std::to_string(variant);
    key += padNumber((number * 7919 + variant) % 100000000, 8);
    key += std::to_string(number % 10);
    return key;  // 44 digits
}

const std::vector<Tax>& taxes() {
    static const std::vector<Tax> list = {
        {"T18", "ICMS 18%", "T", "00", Rate{180000}, Rate{0}},
        {"T12", "ICMS 12%", "T", "00", Rate{120000}, Rate{0}},
        {"T07", "ICMS 7%", "T", "00", Rate{70000}, Rate{0}},
        {"R18", "ICMS 18% BASE REDUZIDA", "T", "20", Rate{180000}, Rate{333300}},
        {"ISEN", "ISENTO", "I", "40", Rate{0}, Rate{0}},
        {"SUBT", "SUBSTITUICAO TRIBUTARIA", "F", "60", Rate{0}, Rate{0}},
        {"ISS", "ISS 5%", "S", "00", Rate{50000}, Rate{0}},
    };
    return list;
}

const Catalog& catalog() {
    static const Catalog data = [] {
        Catalog c;
        const struct {
            const char* name;
            std::int64_t price;  // 3 decimals
            int tax;
            bool weighed;
        } products[] = {
            {"CAFE EXPRESSO", 6500, 0, false},
            {"CAFE COM LEITE", 8900, 0, false},
            {"PAO DE QUEIJO", 5990, 1, false},
            {"COXINHA", 7500, 0, false},
            {"REFRIGERANTE LATA", 6000, 5, false},
            {"AGUA MINERAL 500ML", 3500, 5, false},
            {"SUCO DE LARANJA", 9900, 2, false},
            {"X-SALADA", 22900, 0, false},
            {"X-BACON", 26900, 0, false},
            {"BATATA FRITA MEDIA", 14500, 3, false},
            {"SALADA NO PESO", 59900, 4, true},
            {"COMIDA NO PESO", 69900, 3, true},
            {"PUDIM", 8500, 1, false},
            {"SORVETE 2 BOLAS", 12900, 1, false},
            {"CERVEJA LONG NECK", 11900, 5, false},
            {"CHA GELADO", 7900, 2, false},
            {"PASTEL DE CARNE", 8900, 0, false},
            {"PAO FRANCES", 16990, 4, true},
            {"TAXA DE ENTREGA", 5000, 6, false},
            {"CROISSANT", 9500, 1, false},
            {"MISTO QUENTE", 11500, 0, false},
            {"TAPIOCA", 13900, 2, false},
            {"ACAI 300ML", 18900, 1, false},
            {"BOLO FATIA", 7900, 1, false},
        };
        int n = 0;
        for (const auto& p : products) {
            c.products.push_back({padNumber(++n, 10), p.name, Price{p.price}, p.tax, p.weighed});
        }
        for (int i = 1; i <= 6; ++i) c.operators.push_back("OP" + padNumber(i, 2));
        for (int client = 1; client <= 5; ++client) {
            for (int consumer = 1; consumer <= 8; ++consumer) {
                c.consumers.push_back(
                    {padNumber(client, 6), padNumber(client * 100 + consumer, 8)});
            }
        }
        return c;
    }();
    return data;
}

void writeCatalogTables(Writer& w, Millis firstDay, bool exported, std::uint64_t seed) {
    Random rng(mixSeed(seed, "catalog"));
    const Catalog& c = catalog();
    for (const Product& p : c.products) {
        w.insert("PRODUTO", {{"CDPRODUTO", p.code},
                             {"NMPRODUTO", p.name},
                             {"CDBARPRODUTO", "789" + p.code},
                             {"SGUNIDADE", std::string(p.weighed ? "KG" : "UN")}});
    }
    for (const Tax& t : taxes()) {
        w.insert("IMPOSTO", {{"CDIMPOSTO", t.code},
                             {"DSIMPOSTO", t.name},
                             {"IDTPIMPOSFIS", t.fiscalType},
                             {"CDIMPOSTONFE", t.nfeCode}});
    }
    // Pending changes ("I" new, "A" altered) beside rows already sent ("S").
    const char* flags[] = {"I", "A", "S", "S", "S", "S"};
    for (std::size_t i = 0; i < c.operators.size(); ++i) {
        w.insert("OPERADOR", {{"CDOPERADOR", c.operators[i]},
                              {"NMOPERADOR", "OPERADOR " + std::to_string(i + 1)},
                              {"CDSENHAOPER", padNumber(static_cast<std::int64_t>(1000 + i), 6)},
                              {"IDATUOPERADOR", std::string(exported ? flags[i] : "I")}});
    }
    const Millis change = firstDay + 6 * kHour;
    w.insert("CONTROLSENHA", {{"CDOPERADOR", c.operators[0]},
                              {"DTALTSENHA", isoText(change - 30 * kDay)},
                              {"CDSENHALT", std::string("001000")},
                              {"IDATUCTRLSENHA", std::string("S")}});
    w.insert("CONTROLSENHA", {{"CDOPERADOR", c.operators[0]},
                              {"DTALTSENHA", isoText(change)},
                              {"CDSENHALT", std::string("001001")},
                              {"IDATUCTRLSENHA", std::string("I")}});
    w.insert("CONTROLSENHA", {{"CDOPERADOR", c.operators[1]},
                              {"DTALTSENHA", isoText(change + kHour)},
                              {"CDSENHALT", std::string("001002")},
                              {"IDATUCTRLSENHA", std::string("A")}});
    for (std::size_t i = 0; i < c.consumers.size(); ++i) {
        const Consumer& k = c.consumers[i];
        const bool online = i % 5 == 4;  // downloaded on line by a station
        const char* flag = i % 7 == 0 ? "I" : i % 7 == 1 ? "A" : "S";
        w.insert("CONSUMIDOR",
                 {{"CDCLIENTE", k.client},
                  {"CDCONSUMIDOR", k.consumer},
                  {"NMCONSUMIDOR", "CONSUMIDOR " + k.consumer},
                  {"NRCPFCONSUMI", padNumber(rng.between(10000000000, 99999999999), 11)},
                  {"CDSENHACONS", padNumber(rng.between(1000, 9999), 4)},
                  {"VRSALDOCONS", Cents{rng.between(0, 50000)}},
                  {"IDATUCONSUMI", std::string(flag)},
                  {"IDATUCONSONLINE", std::string(online ? "S" : "N")},
                  {"DTATUCONSONLINE",
                   online ? Value{isoText(firstDay - (i % 3) * 20 * kDay)} : Value{Null{}}}});
        w.insert("ENDECONS", {{"CDCLIENTE", k.client},
                              {"CDCONSUMIDOR", k.consumer},
                              {"CDENDECONS", std::string("001")},
                              {"DSENDERECO", "RUA DAS FLORES, " + std::to_string(10 + i)},
                              {"NMBAIRRO", std::string("CENTRO")},
                              {"NMCIDADE", std::string("SAO PAULO")},
                              {"NRCEP", std::string("01001000")},
                              {"IDATUENDECONS", std::string(i % 4 == 0 ? "N" : "S")}});
        // Benefits granted to the consumer: valid and waiting, expired, already sent.
        if (i % 4 == 0) {
            const int kind = static_cast<int>(i / 4 % 3);
            w.insert("MOVBENEFICIOCTR",
                     {{"CDCLIENTE", k.client},
                      {"CDCONSUMIDOR", k.consumer},
                      {"CDCAMPANHA", std::string("CAMP01")},
                      {"NRSEQPRODCAMP", std::string("1")},
                      {"NRSEQBENEFICIO", std::to_string(i + 1)},
                      {"QTDEBENEFICIO", 1.0 + static_cast<double>(i % 3)},
                      {"DTINIVALBENECONS", isoText(firstDay - 10 * kDay)},
                      {"DTFIMVALBENECONS",
                       isoText(kind == 1 ? firstDay - kDay : firstDay + 3650 * kDay)},
                      {"IDIMPTMOVCTR", std::string(kind == 2 ? "N" : "I")}});
        }
    }
}

void writeStoreTables(Writer& w, const std::string& store, const std::string& centralName) {
    w.insert("FILIAL", {{"CDFILIAL", store},
                        {"NMFILIAL", "LOJA " + store},
                        {"SGESTADO", std::string("SP")},
                        {"NRCNPJFILIAL", "12345678" + store + "01"}});
    w.insert("LOJA", {{"CDFILIAL", store},
                      {"CDLOJA", std::string("01")},
                      {"NMLOJA", "LOJA " + store + " SALAO"},
                      {"IDSINCQUANTDIA", std::string("3")}});
    const bool central = !centralName.empty();
    w.insert("PARAVEND", {{"CDFILIAL", store},
                          {"IDTIPOEXPORTA", std::string("F")},
                          {"NRMINEXPVENDA", std::string("5")},
                          {"NRVENDAEXP", std::string("100")},
                          {"IDATUIDMCLI", std::string("N")},
                          {"NMSQLNAMEDB", central ? Value{centralName} : Value{Null{}}},
                          {"NMSQLSCHEMADB", central ? Value{std::string("dbo")} : Value{Null{}}},
                          {"IDSENCONSCENTRAL", std::string(central ? "S" : "N")}});
    for (const Product& p : catalog().products) {
        const Tax& t = taxes()[static_cast<std::size_t>(p.tax)];
        w.insert("ALIQIMPFIS", {{"CDFILIAL", store},
                                {"CDPRODUTO", p.code},
                                {"CDIMPOSTO", t.code},
                                {"VRPERCREDUCAO", t.reduction},
                                {"VRALIQPIS", Rate{16500}},
                                {"VRALIQCOFINS", Rate{76000}}});
    }
    std::string last;
    for (const Consumer& c : catalog().consumers) {
        if (c.client == last) continue;
        last = c.client;
        w.insert("CLIENFILIAL", {{"CDCLIENTE", c.client}, {"CDFILIAL", store}});
    }
}

void writeStationTables(Writer& w, const std::string& store, const std::string& station,
                        const std::string& associated, bool everExported) {
    w.insert("CAIXA", {{"CDFILIAL", store},
                       {"CDCAIXA", station},
                       {"CDLOJA", std::string("01")},
                       {"NMCAIXA", "CAIXA " + station},
                       {"IDPRIMVEZEXPON", std::string(everExported ? "N" : "S")},
                       {"IDCOLETOR", std::string("N")},
                       {"DSCAIXAVEN", associated.empty() ? Value{Null{}} : Value{associated}},
                       {"CDSERIECX", station},
                       {"IDSINCCAIXADLV", std::string(station == "001" ? "S" : "N")},
                       {"IDFREQLIMPVENDA", std::string("D")},
                       {"NRDIASBXVNDMSDE", std::string("30")},
                       {"NRDIASVENDAMSDE", std::string("30")},
                       {"IDGERBKPMSDE", std::string("N")},
                       {"NRDIASCONSMSDE", std::string("30")}});
    w.insert("QELEXPEXECUTA", {{"CDFILIAL", store},
                               {"CDCAIXA", station},
                               {"IDQELEXPEXECUTA", std::string("N")},
                               {"DTULTATU", Null{}}});
}

}  // namespace qel::simulator::detail
