#pragma once

#include <memory>
#include <vector>

#include "central_store.h"
#include "core/dataset.h"

namespace qel::server {

// The answer of getShortDays: one row per short day, oldest first, with
// the station's own count and total (RELVENDAS), what the server holds and
// what it lacks. Amounts are decimals of scale 4; a held sum past the range
// of one is shown at the range's end.
std::shared_ptr<const Dataset> shortDaysPacket(const std::vector<DayShortfall>& days);

}  // namespace qel::server
