#pragma once

// Internal pieces shared by the generators of the different families of tables.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "simulator/random.h"
#include "simulator/time_text.h"
#include "simulator/writer.h"

namespace qel::simulator::detail {

struct Product {
    std::string code;
    std::string name;
    Price price;
    int tax = 0;  // index into taxes()
    bool weighed = false;
};

struct Tax {
    std::string code;  // CDIMPOSTO
    std::string name;
    std::string fiscalType;  // IDTPIMPOSFIS
    std::string nfeCode;     // CDIMPOSTONFE
    Rate icms;               // VRPEALPRODIT
    Rate reduction;          // VRPERCREDUCAO
};
const std::vector<Tax>& taxes();

struct Consumer {
    std::string client;
    std::string consumer;
};

// Products, operators and consumers every store shares. Fixed: they do not depend on the seed.
struct Catalog {
    std::vector<Product> products;
    std::vector<std::string> operators;
    std::vector<Consumer> consumers;
};
const Catalog& catalog();

// Sequence numbers that are unique across the whole database, continued by live mode.
struct Counters {
    std::int64_t moviClie = 0;    // MOVICLIE.NRSEQMOVCLI
    std::int64_t extract = 0;     // EXTRATOCONS.NRSEQMOVEXT
    std::int64_t benefit = 0;     // MOVBENEFICIOCONS.NRSEQBENECONS
    std::int64_t order = 0;       // PEDIDOQEL.NRPEDIDOQEL
    std::int64_t restaurant = 0;  // VENDAREST.NRVENDAREST and commands
};

// One station while it is being written.
struct StationState {
    std::string store;
    std::string station;
    std::string shop = "01";
    std::string series;  // CDSERIECX
    Random rng{0};
    std::int64_t lastSale = 0;
    std::int64_t lastNfce = 0;
    Millis shiftOpen = 0;  // DTABERCAIX of the current shift
    std::int64_t lastMovement = 0;
    std::string operatorCode;
    std::int64_t grandTotal = 0;  // fiscal grand total, cents
    std::int64_t reductions = 0;  // Z reductions so far
};

// The states a sale can be in, as the export and its corrections tell them apart.
enum class SaleKind {
    NfceConcluded,                       // 'O', NFC-e with access key, status 'A'
    SatConcluded,                        // 'O', SAT with access key, status 'A'
    PreSale,                             // situation 'P': never exported
    NfceCancelledNoStatus,               // 'C', NFC-e, no fiscal status
    SatCancelledNoStatus,                // 'C', SAT, no fiscal status
    SatCancelledAccepted,                // 'C', SAT accepted 'A', no cancellation key
    SatCancelledAcceptedExtraMovements,  // as above, with two equal extra movements
    SatCancelledWithKey,                 // 'C', SAT accepted 'A', cancellation key present
    NfceCancelledRejected,               // 'C', NFC-e, status 'R'
    FiscalPrinter,                       // 'O', emission type 'E' (not electronic)
    NfceContingency,                     // 'O', NFC-e without access key yet, no status
};

struct SalePlan {
    SaleKind kind = SaleKind::NfceConcluded;
    char flag = 'S';              // IDIMPVENDA: 'S', 'I' or 'A'
    Millis closedAt = 0;          // DTFECHAVENDA
    bool insertionTime = true;    // DTINSERCAO present
    bool consumer = false;        // sale identified to a consumer
    bool accountPayment = false;  // paid on the consumer's account (extract and movement)
    bool benefit = false;         // uses a loyalty benefit
    bool extractPending = false;  // extract row not yet exported although the sale is
    bool paymentChanged = false;  // an altered sale whose payment type was changed
    bool taxMismatch = false;     // first item's stored tax off by one cent
};

// What a day's fiscal reduction needs from the sales.
struct DayTotals {
    std::int64_t sales = 0;
    Cents gross;
    Cents cancelled;
    Cents discounts;
    std::array<std::int64_t, 8> taxBase{};  // by tax index in the catalogue's tax list
    std::array<std::int64_t, 8> taxValue{};
    std::array<std::int64_t, 6> payments{};  // by payment type 1..5
    std::int64_t nfceLast = 0;
};

// Writes one sale with all the rows that hang on it.
void writeSale(Writer& w, Counters& counters, StationState& st, const SalePlan& plan,
               DayTotals& totals);

// Chooses the plan of the station's k-th sale (0-based, time order) when `exported` of
// `total` sales are already exported.
SalePlan planSale(Random& rng, std::int64_t k, std::int64_t exported);

// Shift-level rows: the shift itself, movements without a sale, access and operator logs.
void writeShiftOpening(Writer& w, StationState& st, Millis open, bool exported);
void writeShiftClosing(Writer& w, StationState& st, Millis open, Millis close, char flag,
                       Cents closingAmount, bool exported);
// The day's fiscal reduction and its children, day totals and fiscal files.
void writeDayEnd(Writer& w, StationState& st, Millis day, Millis close, const DayTotals& totals,
                 bool exported);
// A document number skipped by the station and voided with the tax authority.
void writeVoidedNumber(Writer& w, StationState& st, Millis when, bool exported);
// Consumer-account credits made at the station, without a sale.
void writeAccountCredits(Writer& w, Counters& counters, StationState& st, Millis when,
                         bool exported);

// Store-level rows of a day: orders, command logs, delivery and kiosk logs.
// `firstSale` holds each station's first sale number of the day.
void writeStoreDay(Writer& w, Counters& counters, Random& rng, const std::string& store,
                   const std::vector<StationState>& stations,
                   const std::vector<std::int64_t>& firstSale, Millis day, bool lastDay,
                   bool exported);
// Open restaurant tables and commands, blocked products: a snapshot of the store now.
void writeStoreSnapshot(Writer& w, Counters& counters, Random& rng, const std::string& store,
                        Millis day);

// Parameters, products, operators, consumers.
void writeCatalogTables(Writer& w, Millis firstDay, bool exported, std::uint64_t seed);
// `centralName` is the central database's name, empty when consumers are kept locally.
void writeStoreTables(Writer& w, const std::string& store, const std::string& centralName);
void writeStationTables(Writer& w, const std::string& store, const std::string& station,
                        const std::string& associated, bool everExported);

// Text helpers.
std::string padNumber(std::int64_t number, int width);
std::string accessKey(const StationState& st, Millis when, std::int64_t number, char model,
                      int variant);

}  // namespace qel::simulator::detail
