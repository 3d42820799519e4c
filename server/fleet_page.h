#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "central_store.h"

namespace qel::server {

// The fleet page: one line per station with its last contact, last transfer,
// rows received today by table, rows refused, last cleanup and day
// completeness; the stations silent for longer than `silentMinutes` listed
// first, then those with a short day. Each exception links to what to check
// in the operations guide (/operations). A non-empty `store` shows only that
// store's stations; a list of every store chooses one. Self-contained HTML
// (inline style and script, no external assets), sortable by any column.
std::string renderFleetPage(const std::vector<StationStatus>& fleet, DateTime now,
                            double silentMinutes, std::string_view store = {});

// The store a page's query string asks for ("store=0001", percent-encoded as
// a form sends it); empty when it names none.
std::string storeFromQuery(std::string_view query);

// The headers the fleet page is served with: a Content-Security-Policy that
// lets only the page's own inline style and script run (by their SHA-256),
// loads nothing else, sends forms only to the server itself and forbids
// framing; and the older
// X-Frame-Options and X-Content-Type-Options to the same effect. Text that
// stations send is shown on the page: whatever slips past its escaping still
// cannot run a script or load anything.
std::vector<std::pair<std::string, std::string>> fleetPageSecurityHeaders();

// Ten-thousandths as money text: 123450 -> "12.35" (half away from zero).
std::string moneyText(WideAmount tenThousandths);
// A whole number of any width in decimal.
std::string integerText(WideAmount value);

}  // namespace qel::server
