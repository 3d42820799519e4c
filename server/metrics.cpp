#include "metrics.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "fleet_page.h"

namespace qel::server {

std::string_view stationState(const StationStatus& s, DateTime now, double silentMinutes) {
    const bool silent =
        !s.lastContact || (now.value() - s.lastContact->value()) * 1440.0 > silentMinutes;
    if (silent) return "silent";
    bool surplus = false;
    for (const DayShortfall& d : s.shortDays) {
        if (d.isShort()) return "incomplete";
        surplus = surplus || d.isSurplus();
    }
    return surplus ? "surplus" : "ok";
}

void ServerMetrics::observe(std::string_view method, int status, bool failed, double seconds,
                            std::int64_t stored, std::int64_t refused) {
    std::size_t m = kMethods.size() - 1;
    for (std::size_t i = 0; i + 1 < kMethods.size(); ++i) {
        if (kMethods[i] == method) m = i;
    }
    ++methods_[m].calls;
    if (failed || status != 200) ++methods_[m].failures;
    rowsStored_ += stored;
    rowsRefused_ += refused;
    std::size_t b = 0;
    while (b < kBuckets.size() && seconds > kBuckets[b]) ++b;
    ++buckets_[b];
    latencyMicros_ += static_cast<std::int64_t>(seconds * 1e6);
}

void ServerMetrics::observeTransfer(std::string_view store, std::string_view station, bool failed) {
    std::lock_guard lock(failingMutex_);
    std::pair<std::string, std::string> key{store, station};
    if (!failed) {
        failingInARow_.erase(key);
    } else if (auto it = failingInARow_.find(key); it != failingInARow_.end()) {
        ++it->second;
    } else if (failingInARow_.size() < kMaxFailingStations) {
        failingInARow_.emplace(std::move(key), 1);
    }
}

namespace {

// A label value as the text format wants it: backslash, quote and newline escaped.
std::string labelValue(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string stationLabels(std::string_view store, std::string_view station) {
    return "{store=\"" + labelValue(store) + "\",station=\"" + labelValue(station) + "\"}";
}

void line(std::string& out, const char* format, auto... values) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, values...);
    out += buf;
}

}  // namespace

std::string ServerMetrics::render(const std::vector<StationStatus>& fleet, DateTime now,
                                  double silentMinutes, RequestMemory memory) const {
    std::string out;
    out.reserve(4096);
    out += "# HELP qelexp_calls_total Method calls answered by this server.\n";
    out += "# TYPE qelexp_calls_total counter\n";
    for (std::size_t i = 0; i < kMethods.size(); ++i) {
        line(out, "qelexp_calls_total{method=\"%s\"} %lld\n", std::string(kMethods[i]).c_str(),
             static_cast<long long>(methods_[i].calls.load()));
    }
    out += "# HELP qelexp_call_failures_total Calls answered with an error.\n";
    out += "# TYPE qelexp_call_failures_total counter\n";
    for (std::size_t i = 0; i < kMethods.size(); ++i) {
        line(out, "qelexp_call_failures_total{method=\"%s\"} %lld\n",
             std::string(kMethods[i]).c_str(), static_cast<long long>(methods_[i].failures.load()));
    }
    out += "# HELP qelexp_transfers_total Transfers (setInsereServidor) stored.\n";
    out += "# TYPE qelexp_transfers_total counter\n";
    line(out, "qelexp_transfers_total %lld\n",
         static_cast<long long>(methods_[0].calls.load() - methods_[0].failures.load()));
    out += "# HELP qelexp_verifications_total Verification calls (getVerificaExportacao).\n";
    out += "# TYPE qelexp_verifications_total counter\n";
    line(out, "qelexp_verifications_total %lld\n",
         static_cast<long long>(methods_[1].calls.load()));
    out += "# HELP qelexp_rows_stored_total Rows received and stored.\n";
    out += "# TYPE qelexp_rows_stored_total counter\n";
    line(out, "qelexp_rows_stored_total %lld\n", static_cast<long long>(rowsStored_.load()));
    out += "# HELP qelexp_rows_refused_total Rows refused (answered ERR).\n";
    out += "# TYPE qelexp_rows_refused_total counter\n";
    line(out, "qelexp_rows_refused_total %lld\n", static_cast<long long>(rowsRefused_.load()));

    out += "# HELP qelexp_request_duration_seconds Time to answer a method call.\n";
    out += "# TYPE qelexp_request_duration_seconds histogram\n";
    std::int64_t cumulative = 0;
    for (std::size_t b = 0; b < kBuckets.size(); ++b) {
        cumulative += buckets_[b].load();
        line(out, "qelexp_request_duration_seconds_bucket{le=\"%g\"} %lld\n", kBuckets[b],
             static_cast<long long>(cumulative));
    }
    cumulative += buckets_[kBuckets.size()].load();
    line(out, "qelexp_request_duration_seconds_bucket{le=\"+Inf\"} %lld\n",
         static_cast<long long>(cumulative));
    line(out, "qelexp_request_duration_seconds_sum %.6f\n",
         static_cast<double>(latencyMicros_.load()) / 1e6);
    line(out, "qelexp_request_duration_seconds_count %lld\n", static_cast<long long>(cumulative));

    // Each station-day counts on its own: what one lacks is never offset by
    // what another holds beyond its summary.
    std::map<std::string_view, int> states = {
        {"ok", 0}, {"incomplete", 0}, {"surplus", 0}, {"silent", 0}};
    std::int64_t shortDays = 0, surplusDays = 0;
    WideAmount missingSales = 0, missingAmount = 0;
    for (const StationStatus& s : fleet) {
        ++states[stationState(s, now, silentMinutes)];
        for (const DayShortfall& d : s.shortDays) {
            if (d.isShort()) ++shortDays;
            if (d.isSurplus()) ++surplusDays;
            missingSales += d.salesShort();
            missingAmount += d.amountShort();
        }
    }
    out += "# HELP qelexp_stations Stations known to the central store, by state.\n";
    out += "# TYPE qelexp_stations gauge\n";
    for (const auto& [state, count] : states) {
        line(out, "qelexp_stations{state=\"%s\"} %d\n", std::string(state).c_str(), count);
    }
    out +=
        "# HELP qelexp_day_incomplete Station days lacking sales or amount of the station's own "
        "summary.\n";
    out += "# TYPE qelexp_day_incomplete gauge\n";
    line(out, "qelexp_day_incomplete %lld\n", static_cast<long long>(shortDays));
    out +=
        "# HELP qelexp_day_surplus Station days lacking nothing but holding more sales or amount "
        "than the station's own summary.\n";
    out += "# TYPE qelexp_day_surplus gauge\n";
    line(out, "qelexp_day_surplus %lld\n", static_cast<long long>(surplusDays));
    out +=
        "# HELP qelexp_sales_missing Sales the stations reported that the server does not hold, "
        "summed over the station days that lack some.\n";
    out += "# TYPE qelexp_sales_missing gauge\n";
    out += "qelexp_sales_missing " + integerText(missingSales) + "\n";
    out +=
        "# HELP qelexp_amount_missing Amount the stations reported that the server does not "
        "hold, summed over the station days that lack some.\n";
    out += "# TYPE qelexp_amount_missing gauge\n";
    out += "qelexp_amount_missing " + moneyText(missingAmount) + "\n";
    std::int64_t resent = 0, healed = 0;
    for (const StationStatus& s : fleet) {
        resent += s.resentSales;
        healed += static_cast<std::int64_t>(s.healedDays.size());
    }
    out +=
        "# HELP qelexp_reconciled_sales_total Sales the central store received for station days "
        "after their station was told they were short (re-sent by reconciliation).\n";
    out += "# TYPE qelexp_reconciled_sales_total counter\n";
    line(out, "qelexp_reconciled_sales_total %lld\n", static_cast<long long>(resent));
    out +=
        "# HELP qelexp_day_healed Station days in the window that were found short and are "
        "complete again.\n";
    out += "# TYPE qelexp_day_healed gauge\n";
    line(out, "qelexp_day_healed %lld\n", static_cast<long long>(healed));

    // Each station's own series, for alerts that name the station.
    out += "# HELP qelexp_silent_after_seconds A station not heard of for longer is silent.\n";
    out += "# TYPE qelexp_silent_after_seconds gauge\n";
    line(out, "qelexp_silent_after_seconds %.0f\n", silentMinutes * 60.0);
    out +=
        "# HELP qelexp_station_seconds_since_contact Time since the station last called "
        "(stations never heard of are not listed).\n";
    out += "# TYPE qelexp_station_seconds_since_contact gauge\n";
    for (const StationStatus& s : fleet) {
        if (!s.lastContact) continue;
        out += "qelexp_station_seconds_since_contact";
        out += stationLabels(s.store, s.station);
        line(out, " %.0f\n", std::max(0.0, (now.value() - s.lastContact->value()) * 86400.0));
    }
    out +=
        "# HELP qelexp_station_day_incomplete Days lacking sales or amount of the station's own "
        "summary (stations with none are not listed).\n";
    out += "# TYPE qelexp_station_day_incomplete gauge\n";
    for (const StationStatus& s : fleet) {
        const auto days = std::count_if(s.shortDays.begin(), s.shortDays.end(),
                                        [](const DayShortfall& d) { return d.isShort(); });
        if (days == 0) continue;
        out += "qelexp_station_day_incomplete";
        out += stationLabels(s.store, s.station);
        line(out, " %lld\n", static_cast<long long>(days));
    }
    out +=
        "# HELP qelexp_station_transfer_failures_in_a_row Transfers of the station this server "
        "answered with an error since its last stored one (stations with none are not listed).\n";
    out += "# TYPE qelexp_station_transfer_failures_in_a_row gauge\n";
    {
        std::lock_guard lock(failingMutex_);
        for (const auto& [key, count] : failingInARow_) {
            out += "qelexp_station_transfer_failures_in_a_row";
            out += stationLabels(key.first, key.second);
            line(out, " %lld\n", static_cast<long long>(count));
        }
    }
    if (memory.budget > 0) {
        out +=
            "# HELP qelexp_memory_reserved_bytes Memory the requests being read and decoded "
            "hold now.\n";
        out += "# TYPE qelexp_memory_reserved_bytes gauge\n";
        line(out, "qelexp_memory_reserved_bytes %zu\n", memory.reserved);
        out +=
            "# HELP qelexp_memory_budget_bytes The most those requests may hold at once "
            "(--max-inflight-mb).\n";
        out += "# TYPE qelexp_memory_budget_bytes gauge\n";
        line(out, "qelexp_memory_budget_bytes %zu\n", memory.budget);
    }
    return out;
}

}  // namespace qel::server
