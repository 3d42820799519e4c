#pragma once

#include <cstdint>
#include <optional>

#include "central_store.h"
#include "core/dataset.h"
#include "credentials.h"

namespace qel::server {

// Elements of the packet array the day-completeness check reads: the sales
// and the station's own summary of them per day (RELVENDAS).
inline constexpr int kSalesIndex = 16;
inline constexpr int kDaySummaryIndex = 33;

// Money in ten-thousandths, exact for every decimal the stations send. A
// number beyond what 64 bits hold gives the largest amount of its sign; a
// null or a text that is no number gives 0.
inline constexpr std::int64_t kLargestAmount = INT64_MAX;
std::int64_t amountOf(const Variant& value);

// Reads the columns of the sales packet once, then one sale per row.
class SaleReader {
  public:
    explicit SaleReader(const Dataset& sales);
    // The counted facts of a stored sale; nullopt when it has no day.
    std::optional<SaleFact> fact(std::size_t row, const Bytes& key) const;

  private:
    const Dataset& sales_;
    int store_, station_, day_, total_;
};

// The summary rows of RELVENDAS (CDFILIAL, CDCAIXA, DTENTRVENDA, QTVENDASMSDE,
// VRTOTMSDE) the caller may report: rows of other stores or stations than the
// grant covers, or without a day, are left out.
std::vector<DaySummary> daySummaries(const Dataset& summary, const StationGrant* grant);

}  // namespace qel::server
