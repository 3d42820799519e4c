// Sales and every row that hangs on a sale: items, item taxes, cancellations, reversals,
// discounts, observations, payments, customer account, loyalty and electronic-document logs.
#include <array>
#include <string>
#include <vector>

#include "simulator/generator.h"

namespace qel::simulator::detail {
namespace {

constexpr Rate kPisRate{16500};     // 1.65 %
constexpr Rate kCofinsRate{76000};  // 7.60 %

const std::array<const char*, 5> kObservations = {"SEM CEBOLA", "SEM GELO", "BEM PASSADO",
                                                  "PARA VIAGEM", "MOLHO A PARTE"};

struct Item {
    const Product* product;
    std::string seq;
    Quantity qty;
    Price price;
    Price complement;  // VRUNITVENDCL; 0 written as NULL
    Cents discount;
    Cents surcharge;
    Cents total;
    bool cancelled = false;
    std::string observation;
};

// Tax of `base` cents at `rate` (percent, 4 decimals), truncated or rounded to cents.
std::int64_t taxOf(std::int64_t base, Rate rate, bool truncate) {
    const std::int64_t scaled = base * rate.value;  // cents * 1e-6
    return truncate ? scaled / 1000000 : (scaled + 500000) / 1000000;
}

Value nullIfZero(std::int64_t v, Value value) {
    return v == 0 ? Value{Null{}} : value;
}

bool electronic(SaleKind kind) {
    return kind != SaleKind::FiscalPrinter && kind != SaleKind::PreSale;
}
bool sat(SaleKind kind) {
    return kind == SaleKind::SatConcluded || kind == SaleKind::SatCancelledNoStatus ||
           kind == SaleKind::SatCancelledAccepted ||
           kind == SaleKind::SatCancelledAcceptedExtraMovements ||
           kind == SaleKind::SatCancelledWithKey;
}
bool cancelled(SaleKind kind) {
    return kind == SaleKind::NfceCancelledNoStatus || kind == SaleKind::SatCancelledNoStatus ||
           kind == SaleKind::SatCancelledAccepted ||
           kind == SaleKind::SatCancelledAcceptedExtraMovements ||
           kind == SaleKind::SatCancelledWithKey || kind == SaleKind::NfceCancelledRejected;
}

std::vector<Item> makeItems(Random& rng) {
    const auto& products = catalog().products;
    std::vector<Item> items(static_cast<std::size_t>(rng.between(1, 6)));
    int seq = 0;
    for (Item& it : items) {
        it.product = &products[static_cast<std::size_t>(
            rng.between(0, static_cast<std::int64_t>(products.size()) - 1))];
        it.seq = padNumber(++seq, 3);
        it.qty =
            Quantity{it.product->weighed ? rng.between(200, 4000) * 5 : rng.between(1, 3) * 10000};
        it.price = it.product->price;
        if (rng.chance(0.04)) it.complement = Price{rng.between(1, 4) * 250};
        const std::int64_t gross =
            it.qty.value * (it.price.value + it.complement.value) / 100000;  // truncated
        if (rng.chance(0.08)) it.discount = Cents{gross * rng.between(5, 15) / 100};
        if (rng.chance(0.02)) it.surcharge = Cents{rng.between(10, 200)};
        it.total = Cents{gross - it.discount.value + it.surcharge.value};
        if (rng.chance(0.1)) {
            it.observation =
                kObservations[static_cast<std::size_t>(rng.between(0, kObservations.size() - 1))];
        }
    }
    if (items.size() > 1 && rng.chance(0.08)) items.back().cancelled = true;
    return items;
}

}  // namespace

SalePlan planSale(Random& rng, std::int64_t k, std::int64_t exported) {
    SalePlan plan;
    plan.flag = k < exported ? 'S' : 'I';
    // Every state appears among the first pending sales and the first exported ones; the
    // rest follow a store's usual mix.
    static const std::array<std::pair<SaleKind, char>, 14> kPendingStates = {{
        {SaleKind::NfceConcluded, 'I'},
        {SaleKind::SatConcluded, 'I'},
        {SaleKind::PreSale, 'I'},
        {SaleKind::NfceCancelledNoStatus, 'I'},
        {SaleKind::SatCancelledNoStatus, 'A'},
        {SaleKind::SatCancelledAccepted, 'I'},
        {SaleKind::SatCancelledAcceptedExtraMovements, 'A'},
        {SaleKind::SatCancelledWithKey, 'I'},
        {SaleKind::NfceCancelledRejected, 'I'},
        {SaleKind::FiscalPrinter, 'I'},
        {SaleKind::NfceContingency, 'I'},
        {SaleKind::NfceConcluded, 'A'},
        {SaleKind::SatConcluded, 'I'},
        {SaleKind::NfceConcluded, 'I'},
    }};
    const std::int64_t pendingIndex = k - exported;
    if (pendingIndex >= 0 && pendingIndex < static_cast<std::int64_t>(kPendingStates.size())) {
        plan.kind = kPendingStates[static_cast<std::size_t>(pendingIndex)].first;
        plan.flag = kPendingStates[static_cast<std::size_t>(pendingIndex)].second;
        plan.paymentChanged = pendingIndex == 11;
        plan.taxMismatch = pendingIndex == 12;
        plan.insertionTime = pendingIndex != 13;
        plan.consumer = pendingIndex == 0 || pendingIndex == 1 || pendingIndex == 11;
        plan.accountPayment = pendingIndex == 0 || pendingIndex == 11;
        plan.benefit = pendingIndex == 1;
    } else {
        const auto roll = rng.between(0, 999);
        plan.kind = roll < 560   ? SaleKind::NfceConcluded
                    : roll < 800 ? SaleKind::SatConcluded
                    : roll < 900 ? SaleKind::FiscalPrinter
                    : roll < 930 ? SaleKind::PreSale
                    : roll < 945 ? SaleKind::NfceContingency
                    : roll < 955 ? SaleKind::NfceCancelledNoStatus
                    : roll < 965 ? SaleKind::SatCancelledNoStatus
                    : roll < 975 ? SaleKind::SatCancelledAccepted
                    : roll < 985 ? SaleKind::SatCancelledWithKey
                                 : SaleKind::NfceCancelledRejected;
        if (plan.flag == 'I' && rng.chance(0.15)) plan.flag = 'A';
        plan.consumer = rng.chance(0.3);
        plan.accountPayment = plan.consumer && rng.chance(0.3);
        plan.benefit = plan.consumer && rng.chance(0.1);
        plan.insertionTime = !rng.chance(0.05);
        plan.paymentChanged = plan.flag == 'A' && rng.chance(0.3);
    }
    if (plan.flag == 'S') {
        // Exported history holds what the corrections leave behind: no pre-sales (they are
        // never sent), no cancelled electronic sale without status, no accepted cancelled
        // SAT sale without its cancellation key.
        switch (plan.kind) {
            case SaleKind::PreSale:
                plan.kind = SaleKind::NfceConcluded;
                break;
            case SaleKind::NfceCancelledNoStatus:
            case SaleKind::SatCancelledNoStatus:
                plan.kind = SaleKind::NfceCancelledRejected;
                break;
            case SaleKind::SatCancelledAccepted:
            case SaleKind::SatCancelledAcceptedExtraMovements:
                plan.kind = SaleKind::SatCancelledWithKey;
                break;
            default:
                break;
        }
    }
    if (plan.kind == SaleKind::PreSale) plan.accountPayment = false;
    // An exported sale whose account movement the server has not confirmed yet.
    plan.extractPending = k < exported && (k == 0 || rng.chance(0.002));
    if (plan.extractPending) plan.consumer = plan.accountPayment = true;
    return plan;
}

void writeSale(Writer& w, Counters& counters, StationState& st, const SalePlan& plan,
               DayTotals& totals) {
    Random& rng = st.rng;
    const std::string sale = padNumber(++st.lastSale, 10);
    const Millis closed = plan.closedAt;
    const Millis opened = closed - rng.between(20, 240) * kSecond;  // first item scanned
    const Millis inserted = closed + rng.between(50, 900);
    const std::string closedText = isoText(closed);
    const std::string shiftText = isoText(st.shiftOpen);
    const bool exported = plan.flag == 'S';
    const bool sentBefore = plan.flag != 'I';  // 'S' and 'A' went to the server once
    const char* childFlag = sentBefore ? "S" : "N";
    const SaleKind kind = plan.kind;

    std::vector<Item> items = makeItems(rng);
    std::int64_t itemsTotal = 0;
    std::int64_t activeItems = 0;
    for (const Item& it : items) {
        if (it.cancelled) continue;
        itemsTotal += it.total.value;
        ++activeItems;
    }
    const bool coupon = kind != SaleKind::PreSale && rng.chance(0.05);
    const Cents saleDiscount{coupon ? std::min<std::int64_t>(itemsTotal / 10, 1000) : 0};
    const Cents saleTotal{itemsTotal - saleDiscount.value};

    const Consumer* consumer = nullptr;
    if (plan.consumer) {
        const auto& consumers = catalog().consumers;
        consumer = &consumers[static_cast<std::size_t>(
            rng.between(0, static_cast<std::int64_t>(consumers.size()) - 1))];
    }

    // Electronic document data.
    const bool isElectronic = electronic(kind);
    const bool isSat = sat(kind);
    const bool isCancelled = cancelled(kind);
    const bool hasKey = isElectronic && kind != SaleKind::NfceContingency;
    std::int64_t nfceNumber = 0;
    if (isElectronic) nfceNumber = ++st.lastNfce;
    Value status = Null{};
    if (kind == SaleKind::NfceConcluded || kind == SaleKind::SatConcluded ||
        kind == SaleKind::SatCancelledAccepted ||
        kind == SaleKind::SatCancelledAcceptedExtraMovements ||
        kind == SaleKind::SatCancelledWithKey) {
        status = std::string("A");
    } else if (kind == SaleKind::NfceCancelledRejected) {
        status = std::string("R");
    }
    const char model = isSat ? 'S' : 'N';
    const char* situation = kind == SaleKind::PreSale ? "P" : isCancelled ? "C" : "O";
    const char* emission = isElectronic                ? (isSat ? "S" : "N")
                           : kind == SaleKind::PreSale ? "N"
                                                       : "E";

    w.insert("VENDA",
             {{"CDFILIAL", st.store},
              {"CDCAIXA", st.station},
              {"NRSEQVENDA", sale},
              {"DTABERTUR", shiftText},
              {"DTENTRVENDA", isoText(dayStart(closed))},
              {"DTINSERCAO", plan.insertionTime ? Value{isoText(inserted)} : Value{Null{}}},
              {"DTFECHAVENDA", closedText},
              {"CDOPERADOR", st.operatorCode},
              {"CDVENDEDOR", catalog().operators[static_cast<std::size_t>(rng.between(0, 3))]},
              {"CDCLIENTE", consumer ? Value{consumer->client} : Value{Null{}}},
              {"CDCONSUMIDOR", consumer ? Value{consumer->consumer} : Value{Null{}}},
              {"QTITENSVENDA", activeItems},
              {"VRTOTITENS", Cents{itemsTotal}},
              {"VRDESCVENDA", saleDiscount},
              {"VRACRVENDA", Cents{0}},
              {"VRTOTVENDA", saleTotal},
              {"IDSITUVENDA", std::string(situation)},
              {"IDTPEMISVEND", std::string(emission)},
              {"NRNOTAFISCALCE", isElectronic ? Value{padNumber(nfceNumber, 9)} : Value{Null{}}},
              {"NRACESSONFCE",
               hasKey ? Value{accessKey(st, closed, nfceNumber, model, 1)} : Value{Null{}}},
              {"IDSTATUSNFCE", status},
              {"NRACESSOCANC", kind == SaleKind::SatCancelledWithKey
                                   ? Value{accessKey(st, closed, nfceNumber, model, 2)}
                                   : Value{Null{}}},
              {"IDENVIOFID4ALL", std::string(consumer ? "S" : "N")},
              {"IDENVIOFIDUDS", std::string("N")},
              {"IDIMPVENDA", std::string(1, plan.flag)},
              {"DTEXPVENDA", sentBefore ? Value{isoText(inserted + 5 * kMinute)} : Value{Null{}}},
              {"NRSEQVENDAMSDE", sentBefore ? Value{sale} : Value{Null{}}}});

    // Items, their taxes, cancellations, discounts, observations and kitchen times.
    const bool kitchen = rng.chance(0.1);
    int cancellations = 0;
    int discounts = 0;
    bool firstTax = true;
    for (const Item& it : items) {
        const Product& p = *it.product;
        w.insert("ITEMVENDA", {{"CDFILIAL", st.store},
                               {"CDCAIXA", st.station},
                               {"NRSEQVENDA", sale},
                               {"NRSEQUITVEND", it.seq},
                               {"CDPRODUTO", p.code},
                               {"QTPRODVEND", it.qty},
                               {"VRUNITVEND", it.price},
                               {"VRUNITVENDCL", nullIfZero(it.complement.value, it.complement)},
                               {"VRDESITVEND", it.discount},
                               {"VRACRITVEND", it.surcharge},
                               {"VRTOTITVEND", it.total},
                               {"IDSITUITEM", std::string(it.cancelled ? "C" : "N")}});

        const Tax& tax = taxes()[static_cast<std::size_t>(p.tax)];
        const std::int64_t base = it.total.value;
        const bool truncate = emission[0] == 'N';
        std::int64_t icms = taxOf(base, tax.icms, truncate);
        if (firstTax && plan.taxMismatch) icms += 1;
        firstTax = false;
        std::int64_t reduced = 0;
        std::int64_t reducedTax = 0;
        if (tax.reduction.value > 0) {
            reduced = base - (base * tax.reduction.value + 999999) / 1000000;  // truncated
            reducedTax = taxOf(reduced, tax.icms, false);
        }
        w.insert("ITVENDAIMPOS", {{"CDFILIAL", st.store},
                                  {"CDCAIXA", st.station},
                                  {"NRSEQVENDA", sale},
                                  {"NRSEQUITVEND", it.seq},
                                  {"NRSEQITIMPOS", std::string("001")},
                                  {"CDIMPOSTO", tax.code},
                                  {"VRPEALPRODIT", tax.icms},
                                  {"VRIMPOPRODIT", Cents{icms}},
                                  {"VRBASECALCICMS", Cents{base}},
                                  {"VRBASECALCREDUZ", Cents{reduced}},
                                  {"VRIMPOPRODREDUZ", Cents{reducedTax}},
                                  {"VRBCREDUZICMS", Cents{reduced > 0 ? base - reduced : 0}},
                                  {"VRBCPISCOFINS", Price{base * 10}},
                                  {"VRIMPPIS", Cents{taxOf(base, kPisRate, false)}},
                                  {"VRIMPCOFINS", Cents{taxOf(base, kCofinsRate, false)}}});
        if (!it.cancelled && !isCancelled) {
            totals.taxBase[static_cast<std::size_t>(p.tax)] += base;
            totals.taxValue[static_cast<std::size_t>(p.tax)] += icms;
        }

        if (it.cancelled) {
            const Millis when = closed - 3;  // sale close times are distinct per station
            w.insert("ITVENDACAN", {{"CDFILIAL", st.store},
                                    {"CDCAIXA", st.station},
                                    {"NRSEQVENDA", sale},
                                    {"NRSEQITVENDC", padNumber(++cancellations, 3)},
                                    {"NRSEQUITVEND", it.seq},
                                    {"CDPRODUTO", p.code},
                                    {"QTPRODCANC", it.qty},
                                    {"VRUNITCANC", it.price},
                                    {"CDOPERADOR", st.operatorCode},
                                    {"DTHRCANC", isoText(when)}});
            w.insert("LOGOPERQEL", {{"CDFILIAL", st.store},
                                    {"CDCAIXA", st.station},
                                    {"IDOPERQEL", std::string("CITE")},
                                    {"CDOPERRESPOP", st.operatorCode},
                                    {"DTHROPERQEL", isoText(when)},
                                    {"NRSEQVENDA", sale},
                                    {"DSOPERQEL", "CANCELAMENTO DO ITEM " + it.seq},
                                    {"IDIMPLOGOPERQEL", std::string(childFlag)}});
        }
        if (it.discount.value > 0) {
            const bool promotion = p.tax % 2 == 0;
            w.insert("ITVENDADES", {{"CDFILIAL", st.store},
                                    {"CDCAIXA", st.station},
                                    {"NRSEQVENDA", sale},
                                    {"NRSEQITVENDADES", padNumber(++discounts, 3)},
                                    {"NRSEQUITVEND", it.seq},
                                    {"CDMOTIVODESC", std::string(promotion ? "002" : "001")},
                                    {"VRDESCONTO", it.discount}});
            if (promotion) {
                w.insert("PROMOVENDA", {{"CDFILIAL", st.store},
                                        {"CDCAIXA", st.station},
                                        {"NRSEQVENDA", sale},
                                        {"CDPROMOCAO", std::string("PROMO") + p.code.substr(7)},
                                        {"NRSEQUITVEND", it.seq},
                                        {"VRDESCPROMO", it.discount}});
            }
        }
        if (!it.observation.empty()) {
            w.insert("OBSITEMVENDA", {{"CDFILIAL", st.store},
                                      {"CDCAIXA", st.station},
                                      {"NRSEQVENDA", sale},
                                      {"NRSEQUITVEND", it.seq},
                                      {"NRSEQOBSITEM", std::string("001")},
                                      {"DSOBSITEM", it.observation}});
        }
        if (kitchen) {
            w.insert("ITHRCOMANDA", {{"CDFILIAL", st.store},
                                     {"CDCAIXA", st.station},
                                     {"NRSEQVENDA", sale},
                                     {"NRSEQUITVEND", it.seq},
                                     {"DTHRPEDIDO", isoText(opened)},
                                     {"DTHRENTREGA", isoText(opened + 8 * kMinute)}});
        }
        if (isCancelled && !it.cancelled) {
            // A cancelled sale returns its items to stock.
            w.insert("ITEMVENDAEST", {{"CDFILIAL", st.store},
                                      {"CDCAIXA", st.station},
                                      {"NRSEQVENDA", sale},
                                      {"NRSEQUITVEND", it.seq},
                                      {"CDPRODUTO", p.code},
                                      {"QTPRODVEND", it.qty},
                                      {"VRUNITVEND", it.price},
                                      {"CDOPERADOR", st.operatorCode},
                                      {"DTHRESTORNO", isoText(closed + kMinute)}});
            if (!it.observation.empty()) {
                w.insert("OBSITEMVENDAEST", {{"CDFILIAL", st.store},
                                             {"CDCAIXA", st.station},
                                             {"NRSEQVENDA", sale},
                                             {"NRSEQUITVEND", it.seq},
                                             {"NRSEQOBSITEM", std::string("001")},
                                             {"DSOBSITEM", it.observation}});
            }
        }
        if (consumer && !it.cancelled && kind != SaleKind::PreSale) {
            w.insert("ITFIDELIDADE", {{"CDFILIAL", st.store},
                                      {"CDCAIXA", st.station},
                                      {"NRSEQVENDA", sale},
                                      {"NRSEQUITVEND", it.seq},
                                      {"CDCLIENTE", consumer->client},
                                      {"CDCONSUMIDOR", consumer->consumer},
                                      {"QTPONTOS", Cents{(it.total.value / 100) * 100}},
                                      {"IDIMPTFIDEL", std::string(childFlag)}});
        }
    }

    if (coupon) {
        w.insert("USOCUPOMDESCQEL", {{"CDFILIAL", st.store},
                                     {"CDCAIXA", st.station},
                                     {"NRSEQVENDA", sale},
                                     {"CDCUPOMDESC", "CUPOM" + padNumber(rng.between(1, 999), 5)},
                                     {"VRDESCCUPOM", saleDiscount},
                                     {"DTULTATU", closedText}});
    }

    // Payments. A pre-sale is not paid yet.
    if (kind != SaleKind::PreSale) {
        struct Movement {
            std::string type;
            char direction;
            std::int64_t value;
            bool changedType;
        };
        std::vector<Movement> movements;
        std::string paymentType;
        if (plan.accountPayment) {
            paymentType = "004";
        } else {
            const auto roll = rng.between(0, 99);
            paymentType = roll < 40 ? "001" : roll < 70 ? "002" : roll < 95 ? "003" : "005";
        }
        if (kind == SaleKind::SatCancelledAcceptedExtraMovements) {
            const std::int64_t extra = std::max<std::int64_t>(saleTotal.value / 4, 1);
            movements = {{"002", 'E', saleTotal.value, false},
                         {"002", 'E', extra, false},
                         {"002", 'E', extra, false}};
        } else if (paymentType == "001") {
            const std::int64_t paid = (saleTotal.value + 499) / 500 * 500;
            movements.push_back({"001", 'E', paid, false});
            if (paid > saleTotal.value)
                movements.push_back({"001", 'S', paid - saleTotal.value, false});
        } else {
            movements.push_back({paymentType, 'E', saleTotal.value, plan.paymentChanged});
        }
        for (const Movement& m : movements) {
            const bool pendingAgain = m.changedType && plan.flag == 'A';
            w.insert("MOVCAIXA",
                     {{"CDFILIAL", st.store},
                      {"CDCAIXA", st.station},
                      {"DTABERCAIX", shiftText},
                      {"NRSEQUMOVI", padNumber(++st.lastMovement, 6)},
                      {"NRSEQVENDA", sale},
                      {"DTMOVIMCAIXA", closedText},
                      {"CDTIPORECE", m.type},
                      {"IDTIPOMOVIVE", std::string(1, m.direction)},
                      {"VRMOVIVEND", Cents{m.value}},
                      {"IDALTERTIPORECE", std::string(m.changedType ? "S" : "N")},
                      {"IDIMPMOVCAIXA", std::string(sentBefore && !pendingAgain ? "S" : "N")},
                      {"NRSEQUMOVIMSDE",
                       sentBefore ? Value{padNumber(st.lastMovement, 6)} : Value{Null{}}}});
            if (!isCancelled) {
                const auto type = static_cast<std::size_t>(m.type[2] - '0');
                totals.payments[type] += m.direction == 'E' ? m.value : -m.value;
            }
        }
        if (paymentType == "005") {
            w.insert("VALEPRESENTE",
                     {{"CDFILIAL", st.store},
                      {"CDCAIXA", st.station},
                      {"NRSEQVENDA", sale},
                      {"NRVALEPRESENTE", "VP" + padNumber(rng.between(1, 99999999), 10)},
                      {"VRVALEPRESENTE", saleTotal}});
        }
    }

    if (plan.accountPayment && consumer) {
        const char* extractFlag = plan.extractPending ? "N" : childFlag;
        w.insert("EXTRATOCONS", {{"CDCLIENTE", consumer->client},
                                 {"CDCONSUMIDOR", consumer->consumer},
                                 {"CDFAMILISALD", std::string("0001")},
                                 {"DTMOVEXTCONS", closedText},
                                 {"NRSEQMOVEXT", padNumber(++counters.extract, 10)},
                                 {"CDFILIAL", st.store},
                                 {"CDCAIXA", st.station},
                                 {"DTABERCAIX", shiftText},
                                 {"NRSEQVENDA", sale},
                                 {"IDTIPOMOVEXT", std::string("D")},
                                 {"VRMOVEXTCONS", saleTotal},
                                 {"IDIMPEXTRATO", std::string(extractFlag)},
                                 {"DTULTATUEXT", isoText(inserted)}});
        w.insert("MOVICLIE", {{"CDCLIENTE", consumer->client},
                              {"NRSEQMOVCLI", padNumber(++counters.moviClie, 10)},
                              {"CDCONSUMIDOR", consumer->consumer},
                              {"CDFILIAL", st.store},
                              {"CDCAIXA", st.station},
                              {"NRSEQVENDA", sale},
                              {"DTABERCAIX", shiftText},
                              {"DTMOVCLI", closedText},
                              {"IDTIPOMOVCLI", std::string("D")},
                              {"VRMOVCLI", saleTotal},
                              {"IDBXVENDACAT", std::string(sentBefore ? "S" : "N")},
                              {"IDBXMOVICLIE", std::string("N")},
                              {"DTULTATUMCLI", isoText(inserted)}});
    }
    if (plan.benefit && consumer) {
        w.insert("MOVBENEFICIOCONS", {{"CDFILIAL", st.store},
                                      {"CDCAIXA", st.station},
                                      {"NRSEQVENDA", sale},
                                      {"NRSEQBENECONS", padNumber(++counters.benefit, 10)},
                                      {"CDCLIENTE", consumer->client},
                                      {"CDCONSUMIDOR", consumer->consumer},
                                      {"CDCAMPANHA", std::string("CAMP01")},
                                      {"QTDEBENEFICIO", 1.0},
                                      {"IDIMPTMOV", std::string(sentBefore ? "N" : "I")}});
    }

    // Reversal of a cancelled sale and the operator's log line for it.
    if (isCancelled) {
        w.insert("ESTORNOVND", {{"CDFILIAL", st.store},
                                {"CDCAIXA", st.station},
                                {"NRSEQVENDA", sale},
                                {"CDOPERADOR", st.operatorCode},
                                {"DTHRESTORNO", isoText(closed + kMinute)},
                                {"VRESTORNO", saleTotal},
                                {"IDIMPESTVND", std::string(childFlag)}});
        w.insert("LOGOPERQEL", {{"CDFILIAL", st.store},
                                {"CDCAIXA", st.station},
                                {"IDOPERQEL", std::string("CVEN")},
                                {"CDOPERRESPOP", st.operatorCode},
                                {"DTHROPERQEL", isoText(closed + kMinute)},
                                {"NRSEQVENDA", sale},
                                {"DSOPERQEL", "CANCELAMENTO DA VENDA " + sale},
                                {"IDIMPLOGOPERQEL", std::string(childFlag)}});
    }

    // Electronic-document log and, while the sale is recent, its XML.
    if (isElectronic) {
        int logSeq = 0;
        auto log = [&](Millis when, const std::string& text) {
            w.insert("LOGNFCE", {{"CDFILIAL", st.store},
                                 {"CDCAIXA", st.station},
                                 {"NRSEQVENDA", sale},
                                 {"NRSEQLOGNFCE", padNumber(++logSeq, 6)},
                                 {"DTHRLOGNFCE", isoText(when)},
                                 {"DSLOGNFCE", text},
                                 {"IDIMPLOGNFCE", std::string(childFlag)}});
        };
        if (kind == SaleKind::NfceContingency) {
            log(closed, "Emitida em contingencia, aguardando transmissao");
        } else {
            log(closed, "Autorizado o uso do documento fiscal");
        }
        if (kind == SaleKind::NfceCancelledRejected)
            log(closed + kMinute, "Rejeicao: prazo de cancelamento superior");
        if (kind == SaleKind::SatCancelledWithKey) log(closed + kMinute, "Cancelamento homologado");
        if (!exported) {
            w.insert("ARQXMLNFCESAT",
                     {{"CDFILIAL", st.store},
                      {"CDCAIXA", st.station},
                      {"NRSEQVENDA", sale},
                      {"DTGERACAO", closedText},
                      {"DSARQXML", "<doc><numero>" + padNumber(nfceNumber, 9) + "</numero><total>" +
                                       std::to_string(saleTotal.value) + "</total></doc>"}});
        }
    }

    if (isCancelled) {
        totals.cancelled.value += saleTotal.value;
    } else if (kind != SaleKind::PreSale) {
        ++totals.sales;
        totals.gross.value += itemsTotal;
        totals.discounts.value += saleDiscount.value;
    }
    totals.nfceLast = st.lastNfce;
}

}  // namespace qel::simulator::detail
