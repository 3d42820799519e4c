#pragma once

#include <string>
#include <vector>

#include "central_store.h"

namespace qel::server {

// The fleet page: one line per station with its last contact, last transfer,
// rows received today by table, rows refused, last cleanup and day
// completeness; the stations silent for longer than `silentMinutes` listed
// first. Self-contained HTML (inline style and script, no external assets),
// sortable by any column.
std::string renderFleetPage(const std::vector<StationStatus>& fleet, DateTime now,
                            double silentMinutes);

// Ten-thousandths as money text: 123450 -> "12.35" (half away from zero).
std::string moneyText(std::int64_t tenThousandths);

}  // namespace qel::server
