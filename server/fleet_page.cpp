#include "fleet_page.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <string_view>

#include "metrics.h"

namespace qel::server {
namespace {

constexpr const char* kHead = R"html(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>QelExp fleet</title>
<style>
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;background:#fafafa}
h1{font-size:1.4em;margin:0 0 .3em}h2{font-size:1.1em;margin:1em 0 .3em}
.summary{color:#555}
#silent{background:#f4f6f4;border:1px solid #c8d0c8;padding:.5em 1em;border-radius:4px}
#silent.alarm{background:#fff3f0;border-color:#e4a093}
#filter{margin:.8em 0}#filter select{font:inherit}
td.check a,#silent h2 a{font-size:.9em;font-weight:normal}
#silent ul{margin:.3em 0;padding-left:1.2em}
table{border-collapse:collapse;width:100%;background:#fff;margin-top:1em}
th,td{border:1px solid #ddd;padding:.3em .5em;text-align:left;vertical-align:top}
th{background:#eee;cursor:pointer;user-select:none;white-space:nowrap}
th.asc::after{content:" \25B2"}th.desc::after{content:" \25BC"}
tr.silent td{background:#fde8e4}tr.incomplete td.days,tr.surplus td.days{background:#fff6d6}
td.num{text-align:right}td.time{white-space:nowrap}.ago{color:#666}.tables{color:#666;font-size:.9em}
</style></head><body>
)html";

// Sorting: a click on a header sorts by that column (again: the other way);
// cells carry their sort key in data-sort. The server sends the rows sorted
// by state already (silent and incomplete stations first), so a page of
// thousands of stations is not reordered on load. Choosing a store shows
// that store's page.
constexpr const char* kScript = R"html(<script>
(function(){
  var choice=document.getElementById('store');
  choice.addEventListener('change',function(){choice.form.submit();});
  var table=document.getElementById('fleet');
  var heads=table.tHead.rows[0].cells;
  function key(row,c,numeric){
    var cell=row.cells[c];var v=cell.getAttribute('data-sort');
    if(v===null)v=cell.textContent;
    return numeric?parseFloat(v)||0:v.toLowerCase();
  }
  function sortBy(c,dir){
    var numeric=heads[c].getAttribute('data-type')==='number';
    var body=table.tBodies[0];var rows=Array.prototype.slice.call(body.rows);
    rows.sort(function(a,b){var x=key(a,c,numeric),y=key(b,c,numeric);
      return (x<y?-1:x>y?1:0)*dir;});
    rows.forEach(function(r){body.appendChild(r);});
    for(var i=0;i<heads.length;i++)heads[i].className='';
    heads[c].className=dir>0?'asc':'desc';
    table.setAttribute('data-sorted',heads[c].getAttribute('data-key')+(dir>0?':asc':':desc'));
  }
  for(var i=0;i<heads.length;i++)(function(c){
    heads[c].addEventListener('click',function(){
      sortBy(c,heads[c].className==='asc'?-1:1);});
  })(i);
})();
</script>
)html";

// The text between the first opening tag `<name>` and its closing tag.
std::string_view element(std::string_view html, std::string_view name) {
    const std::string open = "<" + std::string(name) + ">";
    const std::string close = "</" + std::string(name) + ">";
    const auto start = html.find(open) + open.size();
    return html.substr(start, html.find(close, start) - start);
}

// A CSP hash source: 'sha256-<base64 of the text's SHA-256>'.
std::string hashSource(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
    unsigned char base64[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int length = EVP_EncodeBlock(base64, digest, static_cast<int>(size));
    return "'sha256-" + std::string(reinterpret_cast<const char*>(base64), length) + "'";
}

void escape(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
}

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

// A time cell: the date-time and how long ago, sortable by the day count.
void timeCell(std::string& out, const std::optional<DateTime>& t, DateTime now) {
    if (!t) {
        out += "<td class=\"time\" data-sort=\"0\">never</td>";
        return;
    }
    out += "<td class=\"time\" data-sort=\"" + number(t->value()) + "\">" + t->toText();
    const double minutes = (now.value() - t->value()) * 1440.0;
    char ago[48];
    if (minutes < 1) {
        std::snprintf(ago, sizeof ago, " (now)");
    } else if (minutes < 120) {
        std::snprintf(ago, sizeof ago, " (%.0f min ago)", minutes);
    } else if (minutes < 2880) {
        std::snprintf(ago, sizeof ago, " (%.0f h ago)", minutes / 60);
    } else {
        std::snprintf(ago, sizeof ago, " (%.0f days ago)", minutes / 1440);
    }
    out += "<br><span class=\"ago\">";
    out += ago + 1;  // without the leading blank
    out += "</span></td>";
}

std::string plural(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 || n == -1 ? one : many);
}

void completenessCell(std::string& out, const StationStatus& s) {
    // Sorted by the sales missing; any differing day before the complete ones.
    WideAmount missing = 0;
    for (const DayShortfall& d : s.shortDays) missing += d.salesShort();
    const WideAmount sortKey =
        s.shortDays.empty() ? 0 : std::min<WideAmount>(missing, 1000000000000000) + 1000000;
    out += "<td class=\"days\" data-sort=\"" + integerText(sortKey) + "\">";
    if (s.daysChecked == 0) {
        out += "no summary yet";
    } else if (s.shortDays.empty()) {
        out += "complete (" + plural(s.daysChecked, "day", "days") + ")";
    }
    for (std::size_t i = 0; i < s.shortDays.size(); ++i) {
        const DayShortfall& d = s.shortDays[i];
        if (i > 0) out += "<br>";
        out += d.day.toDateText() + ": ";
        const WideAmount sales = WideAmount{d.reportedSales} - d.heldSales;
        const WideAmount amount = d.reportedAmount - d.heldAmount;
        if (sales >= 0 && amount >= 0) {
            out += "short by " + integerText(sales) + (sales == 1 ? " sale" : " sales") + " and " +
                   moneyText(amount);
        } else {
            out += std::string(d.isShort() ? "holds " : "holds more than reported: ") +
                   std::to_string(d.heldSales) + " sales (" + moneyText(d.heldAmount) +
                   "), the station reports " + std::to_string(d.reportedSales) + " (" +
                   moneyText(d.reportedAmount) + ")";
        }
    }
    // Days the station was told were short and that are complete again.
    for (const HealedDay& h : s.healedDays) {
        const bool differs = std::any_of(s.shortDays.begin(), s.shortDays.end(),
                                         [&](const DayShortfall& d) { return d.day == h.day; });
        if (differs) continue;
        out += "<br><span class=\"healed\">" + h.day.toDateText() + ": healed " +
               h.healedAt.format("dd/mm/yyyy hh:nn") + ", " + plural(h.sales, "sale", "sales") +
               " re-sent</span>";
    }
    out += "</td>";
}

// The section of the operations guide that says what to check.
constexpr const char* kGuide = "/operations#";

void checkCell(std::string& out, std::string_view state, const StationStatus& s) {
    out += "<td class=\"check\">";
    const char* sep = "";
    if (state == "silent") {
        out += std::string("<a href=\"") + kGuide + "a-silent-station\">silent station</a>";
        sep = "<br>";
    }
    if (!s.shortDays.empty()) {
        out += std::string(sep) + "<a href=\"" + kGuide + "a-short-day\">short day</a>";
        sep = "<br>";
    }
    if (s.refusedToday > 0) {
        out += std::string(sep) + "<a href=\"" + kGuide + "refused-rows\">refused rows</a>";
    }
    out += "</td>";
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
                   hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::string storeFromQuery(std::string_view query) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        if (pair.starts_with("store=")) return percentDecoded(pair.substr(6));
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return {};
}

std::string integerText(WideAmount value) {
    __extension__ typedef unsigned __int128 Unsigned;
    Unsigned v =
        value < 0 ? Unsigned(0) - static_cast<Unsigned>(value) : static_cast<Unsigned>(value);
    char buf[48];
    char* p = buf + sizeof buf;
    do {
        *--p = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v != 0);
    if (value < 0) *--p = '-';
    return std::string(p, buf + sizeof buf);
}

std::string moneyText(WideAmount tenThousandths) {
    __extension__ typedef unsigned __int128 Unsigned;
    const bool negative = tenThousandths < 0;
    Unsigned v = negative ? Unsigned(0) - static_cast<Unsigned>(tenThousandths)
                          : static_cast<Unsigned>(tenThousandths);
    v = (v + 50) / 100;  // cents
    std::string cents = integerText(static_cast<WideAmount>(v % 100));
    if (cents.size() < 2) cents.insert(0, "0");
    return (negative && v > 0 ? "-" : "") + integerText(static_cast<WideAmount>(v / 100)) + "." +
           cents;
}

std::vector<std::pair<std::string, std::string>> fleetPageSecurityHeaders() {
    static const std::string policy =
        "default-src 'none'; style-src " + hashSource(element(kHead, "style")) + "; script-src " +
        hashSource(element(kScript, "script")) +
        "; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";
    return {{"Content-Security-Policy", policy},
            {"X-Frame-Options", "DENY"},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"}};
}

std::string renderFleetPage(const std::vector<StationStatus>& all, DateTime now,
                            double silentMinutes, std::string_view store) {
    // The stations shown, by state: silent, incomplete, surplus, then the rest,
    // each in the store's order; and every store with its station count.
    std::map<std::string_view, std::size_t> stores;
    std::array<std::vector<const StationStatus*>, 4> byState;
    for (const StationStatus& s : all) {
        ++stores[s.store];
        if (!store.empty() && s.store != store) continue;
        const std::string_view state = stationState(s, now, silentMinutes);
        byState[state == "silent"       ? 0
                : state == "incomplete" ? 1
                : state == "surplus"    ? 2
                                        : 3]
            .push_back(&s);
    }
    const std::vector<const StationStatus*>& silent = byState[0];
    std::size_t shown = 0, incomplete = 0;
    for (const auto& group : byState) {
        shown += group.size();
        for (const StationStatus* s : group) {
            incomplete += std::any_of(s->shortDays.begin(), s->shortDays.end(),
                                      [](const DayShortfall& d) { return d.isShort(); });
        }
    }

    std::string out;
    out.reserve(4096 + shown * 760 + stores.size() * 64);
    out += kHead;
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", silentMinutes);
    out += "<h1>QelExp fleet</h1>\n<p class=\"summary\" id=\"summary\">" +
           plural(static_cast<std::int64_t>(shown), "station", "stations");
    if (!store.empty()) {
        out += " of store ";
        escape(out, store);
    }
    out += " &middot; " + std::to_string(silent.size()) + " silent &middot; " +
           std::to_string(incomplete) + " with incomplete days &middot; as of " + now.toText() +
           "</p>\n";

    out +=
        "<form id=\"filter\" method=\"get\" action=\"/fleet\"><label for=\"store\">Store</label> "
        "<select id=\"store\" name=\"store\"><option value=\"\">All stores (" +
        plural(static_cast<std::int64_t>(all.size()), "station", "stations") + ")</option>";
    for (const auto& [name, count] : stores) {
        out += "<option value=\"";
        escape(out, name);
        out += name == store ? "\" selected>" : "\">";
        escape(out, name);
        out += " (" + std::to_string(count) + ")</option>";
    }
    out += "</select> <button type=\"submit\">Show</button></form>\n";

    out += "<section id=\"silent\" data-count=\"" + std::to_string(silent.size()) + "\"";
    if (!silent.empty()) out += " class=\"alarm\"";
    out += "><h2>Silent for more than " + std::string(limit) +
           " minutes: " + std::to_string(silent.size());
    if (!silent.empty()) {
        out +=
            std::string(" &middot; <a href=\"") + kGuide + "a-silent-station\">what to check</a>";
    }
    out += "</h2>";
    if (silent.empty()) {
        out += "<p>Every station has called recently.</p>";
    } else {
        out += "<ul>";
        for (const StationStatus* s : silent) {
            out += "<li data-station=\"";
            escape(out, s->store + "/" + s->station);
            out += "\">";
            escape(out, s->store + "/" + s->station);
            out += " &mdash; last contact " +
                   (s->lastContact ? s->lastContact->toText() : std::string("never")) + "</li>";
        }
        out += "</ul>";
    }
    out += "</section>\n";
    out +=
        "<table id=\"fleet\" data-sorted=\"state:asc\"><thead><tr>"
        "<th data-key=\"store\">Store</th><th data-key=\"station\">Station</th>"
        "<th data-key=\"state\" class=\"asc\">State</th>"
        "<th data-key=\"contact\" data-type=\"number\">Last contact</th>"
        "<th data-key=\"transfer\" data-type=\"number\">Last transfer</th>"
        "<th data-key=\"rows\" data-type=\"number\">Rows today</th>"
        "<th data-key=\"refused\" data-type=\"number\">Refused today</th>"
        "<th data-key=\"cleanup\" data-type=\"number\">Last cleanup</th>"
        "<th data-key=\"days\" data-type=\"number\">Day completeness</th>"
        "<th data-key=\"check\">What to check</th>"
        "</tr></thead><tbody>\n";
    for (std::size_t order = 0; order < byState.size(); ++order) {
        for (const StationStatus* station : byState[order]) {
            const StationStatus& s = *station;
            const std::string_view state = stationState(s, now, silentMinutes);
            out += "<tr class=\"";
            out += state;
            out += "\" data-station=\"";
            escape(out, s.store + "/" + s.station);
            out += "\"><td>";
            escape(out, s.store);
            out += "</td><td>";
            escape(out, s.station);
            out += "</td><td data-sort=\"" + std::to_string(order) + "\">";
            out += state;
            out += "</td>";
            timeCell(out, s.lastContact, now);
            timeCell(out, s.lastTransfer, now);
            std::int64_t total = 0;
            std::string byTable;
            for (const auto& [table, rows] : s.receivedToday) {
                total += rows;
                if (!byTable.empty()) byTable += ", ";
                escape(byTable, table);
                byTable += " " + std::to_string(rows);
            }
            out += "<td class=\"num\" data-sort=\"" + std::to_string(total) + "\">" +
                   std::to_string(total);
            if (!byTable.empty()) out += "<div class=\"tables\">" + byTable + "</div>";
            out += "</td><td class=\"num\">" + std::to_string(s.refusedToday) + "</td>";
            timeCell(out, s.lastCleanup, now);
            completenessCell(out, s);
            checkCell(out, state, s);
            out += "</tr>\n";
        }
    }
    out += "</tbody></table>\n";
    out += kScript;
    out += "</body></html>\n";
    return out;
}

}  // namespace qel::server
