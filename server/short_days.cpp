#include "short_days.h"

#include <limits>

namespace qel::server {
namespace {

Variant amount(WideAmount value) {
    constexpr WideAmount most = std::numeric_limits<std::int64_t>::max();
    constexpr WideAmount least = std::numeric_limits<std::int64_t>::min();
    const WideAmount bounded = value > most ? most : value < least ? least : value;
    return Variant(Decimal{static_cast<std::int64_t>(bounded), 4});
}

Variant count(WideAmount value) {
    constexpr WideAmount most = std::numeric_limits<std::int64_t>::max();
    return Variant(static_cast<std::int64_t>(value > most ? most : value));
}

}  // namespace

std::shared_ptr<const Dataset> shortDaysPacket(const std::vector<DayShortfall>& days) {
    auto packet = std::make_shared<Dataset>(std::vector<FieldDef>{
        {"DTENTRVENDA", FieldType::Date, 0, 0},
        {"QTVENDASMSDE", FieldType::Integer, 0, 0},
        {"VRTOTMSDE", FieldType::Decimal, 0, 4},
        {"QTVENDASSERV", FieldType::Integer, 0, 0},
        {"VRTOTSERV", FieldType::Decimal, 0, 4},
        {"QTVENDASFALTA", FieldType::Integer, 0, 0},
        {"VRTOTFALTA", FieldType::Decimal, 0, 4},
    });
    for (const DayShortfall& d : days) {
        packet->rows().push_back({Variant(d.day), Variant(d.reportedSales),
                                  amount(d.reportedAmount), Variant(d.heldSales),
                                  amount(d.heldAmount), count(d.salesShort()),
                                  amount(d.amountShort())});
    }
    return packet;
}

}  // namespace qel::server
