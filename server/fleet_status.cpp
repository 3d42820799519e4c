#include "fleet_status.h"

#include <algorithm>

namespace qel::server {

std::vector<TableTally> tallyCounts(const TableCounts& received, const TableCounts& refused) {
    std::map<std::string_view, TableTally> byTable;
    for (const auto& [table, count] : received) {
        TableTally& t = byTable[table];
        if (t.table.empty()) t.table = table;
        t.received += count;
    }
    for (const auto& [table, count] : refused) {
        TableTally& t = byTable[table];
        if (t.table.empty()) t.table = table;
        t.refused += count;
    }
    std::vector<TableTally> out;
    out.reserve(byTable.size());
    for (auto& [name, tally] : byTable) out.push_back(std::move(tally));
    return out;
}

StationStatus& FleetBuilder::at(std::string store, std::string station) {
    auto [it, added] = stations_.try_emplace({store, station});
    if (added) {
        it->second.store = std::move(store);
        it->second.station = std::move(station);
    }
    return it->second;
}

void FleetBuilder::activity(std::string store, std::string station,
                            std::optional<DateTime> lastContact,
                            std::optional<DateTime> lastTransfer) {
    StationStatus& s = at(std::move(store), std::move(station));
    s.lastContact = lastContact;
    s.lastTransfer = lastTransfer;
}

void FleetBuilder::cleanup(std::string store, std::string station, DateTime last) {
    at(std::move(store), std::move(station)).lastCleanup = last;
}

void FleetBuilder::tableCount(std::string store, std::string station, std::string table,
                              std::int64_t received, std::int64_t refused) {
    StationStatus& s = at(std::move(store), std::move(station));
    if (received > 0) s.receivedToday.emplace_back(std::move(table), received);
    s.refusedToday += refused;
}

void FleetBuilder::day(std::string store, std::string station, const DayShortfall& day) {
    StationStatus& s = at(std::move(store), std::move(station));
    ++s.daysChecked;
    if (day.heldSales != day.reportedSales || day.heldAmount != day.reportedAmount) {
        s.shortDays.push_back(day);
    }
}

void FleetBuilder::healed(std::string store, std::string station, const HealedDay& day) {
    at(std::move(store), std::move(station)).healedDays.push_back(day);
}

void FleetBuilder::resent(std::string store, std::string station, std::int64_t sales) {
    at(std::move(store), std::move(station)).resentSales += sales;
}

std::vector<StationStatus> FleetBuilder::take() {
    std::vector<StationStatus> out;
    out.reserve(stations_.size());
    for (auto& [key, status] : stations_) {
        std::sort(status.receivedToday.begin(), status.receivedToday.end());
        std::sort(status.shortDays.begin(), status.shortDays.end(),
                  [](const DayShortfall& a, const DayShortfall& b) {
                      return a.day.value() < b.day.value();
                  });
        std::sort(
            status.healedDays.begin(), status.healedDays.end(),
            [](const HealedDay& a, const HealedDay& b) { return a.day.value() < b.day.value(); });
        out.push_back(std::move(status));
    }
    stations_.clear();
    return out;
}

}  // namespace qel::server
