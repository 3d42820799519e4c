// Shift-level rows: shifts, movements without a sale, access and operator logs, the day's
// fiscal reduction with its children, day totals, fiscal files and account credits.
#include <string>

#include "simulator/generator.h"

namespace qel::simulator::detail {
namespace {

void operatorLog(Writer& w, const StationState& st, const char* code, Millis when,
                 const std::string& text, bool exported) {
    w.insert("LOGOPERQEL", {{"CDFILIAL", st.store},
                            {"CDCAIXA", st.station},
                            {"IDOPERQEL", std::string(code)},
                            {"CDOPERRESPOP", st.operatorCode},
                            {"DTHROPERQEL", isoText(when)},
                            {"NRSEQVENDA", Null{}},
                            {"DSOPERQEL", text},
                            {"IDIMPLOGOPERQEL", std::string(exported ? "S" : "N")}});
}

void cashMovement(Writer& w, StationState& st, Millis when, char direction, Cents value,
                  bool exported) {
    w.insert("MOVCAIXA",
             {{"CDFILIAL", st.store},
              {"CDCAIXA", st.station},
              {"DTABERCAIX", isoText(st.shiftOpen)},
              {"NRSEQUMOVI", padNumber(++st.lastMovement, 6)},
              {"NRSEQVENDA", Null{}},
              {"DTMOVIMCAIXA", isoText(when)},
              {"CDTIPORECE", std::string("001")},
              {"IDTIPOMOVIVE", std::string(1, direction)},
              {"VRMOVIVEND", value},
              {"IDALTERTIPORECE", std::string("N")},
              {"IDIMPMOVCAIXA", std::string(exported ? "S" : "N")},
              {"NRSEQUMOVIMSDE", exported ? Value{padNumber(st.lastMovement, 6)} : Value{Null{}}}});
}

}  // namespace

void writeShiftOpening(Writer& w, StationState& st, Millis open, bool exported) {
    const auto& operators = catalog().operators;
    st.shiftOpen = open;
    st.lastMovement = 0;
    st.operatorCode = operators[static_cast<std::size_t>(st.rng.between(0, 3))];
    // Shifts of different stations open at different instants, so the login is unique.
    w.insert("LOGACESSO", {{"CDOPERADOR", st.operatorCode},
                           {"DSSISTEMA", std::string("PDV")},
                           {"DTHRACESSO", isoText(open - kMinute)},
                           {"CDFILIAL", st.store},
                           {"CDCAIXA", st.station},
                           {"IDIMPLOGACESSO", std::string(exported ? "S" : "N")}});
    operatorLog(w, st, "ABRE", open, "ABERTURA DO CAIXA", exported);
    cashMovement(w, st, open + kSecond, 'E', Cents{20000}, exported);  // change float
}

void writeShiftClosing(Writer& w, StationState& st, Millis open, Millis close, char flag,
                       Cents closingAmount, bool exported) {
    const bool closed = close != 0;
    if (closed) {
        cashMovement(w, st, close - kMinute, 'S', Cents{closingAmount.value / 2}, exported);
        operatorLog(w, st, "FECH", close, "FECHAMENTO DO CAIXA", exported);
    }
    w.insert("TURCAIXA",
             {{"CDFILIAL", st.store},
              {"CDCAIXA", st.station},
              {"DTABERCAIX", isoText(open)},
              {"DTFECHCAIX", closed ? Value{isoText(close)} : Value{Null{}}},
              {"DTMOVTURCAIX", isoText(dayStart(open))},
              {"CDOPERADOR", st.operatorCode},
              {"VRABERCAIX", Cents{20000}},
              {"VRFECHCAIX", closed ? Value{closingAmount} : Value{Null{}}},
              {"IDATUTURCAIXA", std::string(1, flag)},
              {"IDIMPTCAIXA", std::string("N")},
              {"DTEXPTURCAIXA", flag == 'I' ? Value{Null{}} : Value{isoText(dayStart(close))}}});
}

void writeDayEnd(Writer& w, StationState& st, Millis day, Millis close, const DayTotals& totals,
                 bool exported) {
    const std::string when = isoText(close + 2 * kMinute);
    const std::string ecf = "000001";
    const std::string reductionFlag = exported ? "S" : "N";
    st.grandTotal += totals.gross.value;
    ++st.reductions;
    w.insert("REDUCAOZ", {{"CDFILIAL", st.store},
                          {"CDCAIXA", st.station},
                          {"DTREDUCAOZ", when},
                          {"NRECFREDZ", ecf},
                          {"NRCONTREDZ", padNumber(st.reductions, 6)},
                          {"NRCOOREDZ", padNumber(st.lastSale + st.reductions, 9)},
                          {"VRVENDABRUTA", totals.gross},
                          {"VRGRANDETOTAL", Cents{st.grandTotal}},
                          {"IDIMPREDUCAO", reductionFlag}});
    const auto& taxList = taxes();
    for (std::size_t t = 0; t < taxList.size(); ++t) {
        if (totals.taxBase[t] == 0) continue;
        w.insert("IMPOSTOREDZ", {{"CDFILIAL", st.store},
                                 {"CDCAIXA", st.station},
                                 {"DTREDUCAOZ", when},
                                 {"NRECFREDZ", ecf},
                                 {"CDALIQUOTA", taxList[t].code},
                                 {"VRBASECALC", Cents{totals.taxBase[t]}},
                                 {"VRIMPOSTO", Cents{totals.taxValue[t]}}});
    }
    const std::pair<const char*, Cents> totalisers[] = {
        {"CANC", totals.cancelled}, {"DESC", totals.discounts}, {"ACRE", Cents{0}}};
    for (const auto& [code, value] : totalisers) {
        w.insert("TOTNFISCREDZ", {{"CDFILIAL", st.store},
                                  {"CDCAIXA", st.station},
                                  {"DTREDUCAOZ", when},
                                  {"NRECFREDZ", ecf},
                                  {"CDTOTALIZADOR", std::string(code)},
                                  {"VRTOTALIZADOR", value}});
    }
    for (std::size_t type = 1; type < totals.payments.size(); ++type) {
        if (totals.payments[type] == 0) continue;
        w.insert("FORMPGTOREDZ", {{"CDFILIAL", st.store},
                                  {"CDCAIXA", st.station},
                                  {"DTREDUCAOZ", when},
                                  {"NRECFREDZ", ecf},
                                  {"CDFORMPGTO", padNumber(static_cast<std::int64_t>(type), 3)},
                                  {"VRFORMPGTO", Cents{totals.payments[type]}}});
    }
    w.insert("TOTALDIACAIXA", {{"CDFILIAL", st.store},
                               {"CDCAIXA", st.station},
                               {"DTTOTAL", isoText(day)},
                               {"QTVENDAS", totals.sales},
                               {"VRTOTALDIA", Cents{totals.gross.value - totals.discounts.value}},
                               {"IDIMPTOTDIACAIXA", reductionFlag}});
    w.insert("ARQCAT52", {{"CDFILIAL", st.store},
                          {"CDCAIXA", st.station},
                          {"NRSERIECAT52", "BE0" + st.store + st.station},
                          {"DTMOVCAT52", isoText(day)},
                          {"NMARQCAT52", "CAT52_" + st.store + st.station + "_" +
                                             isoText(day).substr(0, 10) + ".TXT"},
                          {"IDIMPTCAT52", reductionFlag}});
}

void writeVoidedNumber(Writer& w, StationState& st, Millis when, bool exported) {
    w.insert("INUTILIZANFCE",
             {{"CDFILIAL", st.store},
              {"CDCAIXA", st.station},
              {"NRNOTAFISCALCE", padNumber(++st.lastNfce, 9)},
              {"DTINUTILIZA", isoText(when)},
              {"DSMOTIVO", std::string("NUMERACAO PULADA POR FALHA DE COMUNICACAO")},
              {"IDIMPINUTILIZA", std::string(exported ? "S" : "N")}});
}

void writeAccountCredits(Writer& w, Counters& counters, StationState& st, Millis when,
                         bool exported) {
    const auto& consumers = catalog().consumers;
    const Consumer& c = consumers[static_cast<std::size_t>(
        st.rng.between(0, static_cast<std::int64_t>(consumers.size()) - 1))];
    const Cents value{st.rng.between(20, 300) * 100};
    const std::string flag = exported ? "S" : "N";
    // A deposit on the consumer's account paid at this station's shift.
    w.insert("EXTRATOCONS", {{"CDCLIENTE", c.client},
                             {"CDCONSUMIDOR", c.consumer},
                             {"CDFAMILISALD", std::string("0001")},
                             {"DTMOVEXTCONS", isoText(when)},
                             {"NRSEQMOVEXT", padNumber(++counters.extract, 10)},
                             {"CDFILIAL", st.store},
                             {"CDCAIXA", st.station},
                             {"DTABERCAIX", isoText(st.shiftOpen)},
                             {"NRSEQVENDA", Null{}},
                             {"IDTIPOMOVEXT", std::string("C")},
                             {"VRMOVEXTCONS", value},
                             {"IDIMPEXTRATO", flag},
                             {"DTULTATUEXT", isoText(when)}});
    // The customer's account credited at the store's office, outside any station.
    w.insert("MOVICLIE", {{"CDCLIENTE", c.client},
                          {"NRSEQMOVCLI", padNumber(++counters.moviClie, 10)},
                          {"CDCONSUMIDOR", c.consumer},
                          {"CDFILIAL", st.store},
                          {"CDCAIXA", Null{}},
                          {"NRSEQVENDA", Null{}},
                          {"DTABERCAIX", Null{}},
                          {"DTMOVCLI", isoText(when)},
                          {"IDTIPOMOVCLI", std::string("C")},
                          {"VRMOVCLI", value},
                          {"IDBXVENDACAT", flag},
                          {"IDBXMOVICLIE", std::string("N")},
                          {"DTULTATUMCLI", isoText(when)}});
}

}  // namespace qel::simulator::detail
