#include "day_completeness.h"

#include <cmath>

namespace qel::server {

std::int64_t amountOf(const Variant& value) {
    if (value.isEmpty()) return 0;  // SUM ignores nulls, and so does the count here
    try {
        return value.asDecimal(4).unscaled;
    } catch (const std::exception&) {
    }
    // A number too large for 64 bits of ten-thousandths is held as the
    // largest amount of its sign: a day reporting it must not pass as
    // complete with nothing received, and the stores keep 64-bit amounts.
    double magnitude = 0;
    try {
        magnitude = value.asFloat();
    } catch (const std::exception&) {
        return 0;  // not a number at all
    }
    if (std::isnan(magnitude)) return 0;
    return magnitude < 0 ? -kLargestAmount : kLargestAmount;
}

namespace {

std::optional<DateTime> dayOf(const Variant& value) {
    if (const auto* d = value.get<DateTime>()) return *d;
    return std::nullopt;
}

}  // namespace

SaleReader::SaleReader(const Dataset& sales)
    : sales_(sales),
      store_(sales.findField("CDFILIAL")),
      station_(sales.findField("CDCAIXA")),
      day_(sales.findField("DTENTRVENDA")),
      total_(sales.findField("VRTOTVENDA")) {}

std::optional<SaleFact> SaleReader::fact(std::size_t row, const Bytes& key) const {
    if (store_ < 0 || station_ < 0 || day_ < 0) return std::nullopt;
    const Row& r = sales_.rows()[row];
    const auto day = dayOf(r[static_cast<std::size_t>(day_)]);
    if (!day) return std::nullopt;
    SaleFact f;
    f.key = key;
    f.store = r[static_cast<std::size_t>(store_)].asString();
    f.station = r[static_cast<std::size_t>(station_)].asString();
    f.day = *day;
    f.amount = total_ < 0 ? 0 : amountOf(r[static_cast<std::size_t>(total_)]);
    return f;
}

std::vector<DaySummary> daySummaries(const Dataset& summary, const StationGrant* grant) {
    std::vector<DaySummary> out;
    const int store = summary.findField("CDFILIAL"), station = summary.findField("CDCAIXA"),
              day = summary.findField("DTENTRVENDA"), count = summary.findField("QTVENDASMSDE"),
              total = summary.findField("VRTOTMSDE");
    if (store < 0 || station < 0 || day < 0 || count < 0) return out;
    for (const Row& r : summary.rows()) {
        DaySummary d;
        d.store = r[static_cast<std::size_t>(store)].asString();
        d.station = r[static_cast<std::size_t>(station)].asString();
        const auto when = dayOf(r[static_cast<std::size_t>(day)]);
        if (!when) continue;
        if (grant && (!grant->allowsStore(d.store) || !grant->allowsStation(d.station))) continue;
        d.day = *when;
        try {
            d.sales = r[static_cast<std::size_t>(count)].asInteger();
        } catch (const std::exception&) {
            continue;
        }
        d.amount = total < 0 ? 0 : amountOf(r[static_cast<std::size_t>(total)]);
        out.push_back(std::move(d));
    }
    return out;
}

}  // namespace qel::server
