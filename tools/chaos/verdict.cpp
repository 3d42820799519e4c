#include "verdict.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "fault_kinds.h"

namespace qel::chaos {
namespace {

std::string fixed(double v, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
    return buffer;
}

std::string cell(std::int64_t v, int width) {
    std::string s = std::to_string(v);
    return std::string(static_cast<std::size_t>(std::max(0, width - int(s.size()))), ' ') + s;
}

void printTables(std::ostream& out, const std::vector<TableCheck>& tables, TableCheck& total) {
    out << "table              written  settled  deleted     lost  f.flagged  pending  dupl.  "
           "unexp.   open  unflagged  stranded  restored  reused  central\n";
    for (const TableCheck& t : tables) {
        std::string name = t.table;
        name.resize(16, ' ');
        out << name << cell(t.written, 10) << cell(t.settled, 9) << cell(t.deleted, 9)
            << cell(t.lost, 9) << cell(t.falselyFlagged, 11) << cell(t.pending, 9)
            << cell(t.duplicates, 7) << cell(t.unexpected, 8) << cell(t.open, 7)
            << cell(t.unflagged, 11) << cell(t.stranded, 10) << cell(t.goneWithRestore, 10)
            << cell(t.reused, 8) << cell(t.goneWithCentralRestore, 9) << "\n";
        total.written += t.written, total.settled += t.settled, total.deleted += t.deleted;
        total.lost += t.lost, total.falselyFlagged += t.falselyFlagged;
        total.pending += t.pending, total.duplicates += t.duplicates;
        total.unexpected += t.unexpected, total.open += t.open;
        total.unflagged += t.unflagged, total.stranded += t.stranded;
        total.goneWithRestore += t.goneWithRestore, total.reused += t.reused;
        total.goneWithCentralRestore += t.goneWithCentralRestore;
    }
    out << "total           " << cell(total.written, 10) << cell(total.settled, 9)
        << cell(total.deleted, 9) << cell(total.lost, 9) << cell(total.falselyFlagged, 11)
        << cell(total.pending, 9) << cell(total.duplicates, 7) << cell(total.unexpected, 8)
        << cell(total.open, 7) << cell(total.unflagged, 11) << cell(total.stranded, 10)
        << cell(total.goneWithRestore, 10) << cell(total.reused, 8)
        << cell(total.goneWithCentralRestore, 9) << "\n";
    out << "(open: of sales still open at the till, not sent yet; unflagged: held centrally but "
           "never flagged, as their sale was, so never sent again; restored: waiting when the "
           "station was restored from an older backup, never sent, gone with the restore; reused: "
           "exported, then replaced centrally by another row its till numbered alike after a "
           "restore, as the server keeps one row per key; central: held centrally until a central "
           "restore took it, and no longer at its station to be sent again, or not a sale's row)\n";
    for (const TableCheck& t : tables) {
        for (const std::string& e : t.examples) out << "  " << t.table << ": " << e << "\n";
    }
}

std::string summary(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return std::to_string(v.size()) + ", median " + fixed(v[v.size() / 2], 1) + " s, max " +
           fixed(v.back(), 1) + " s";
}

// The figures the faults measured themselves: how long a clock step held
// back the next export, how long the backlog of a long outage took, and
// how long the stations took to send again what a central restore took.
void reportMeasured(std::ostream& out, const RecoveryReport& r, const Floors& floors,
                    std::vector<std::string>& failures) {
    std::vector<double> steps, drains, heals;
    std::int64_t noExport = 0, undrained = 0, unhealed = 0;
    for (const FaultTally& f : r.faults) {
        for (const double m : f.measured) {
            if (f.kind == "central-restore") {
                if (m < 0) {
                    ++unhealed;
                } else {
                    heals.push_back(m);
                }
                continue;
            }
            const bool clock = stepsAClock(f.kind);
            if (!clock && f.kind != "long-outage") continue;
            if (m < 0) {
                ++(clock ? noExport : undrained);
            } else {
                (clock ? steps : drains).push_back(m);
            }
        }
    }
    if (!steps.empty()) {
        out << "clock steps (the larger of a step and its correction), to the next export run: "
            << summary(steps) << "\n";
    }
    if (noExport > 0) {
        out << "clock steps with no export in time: " << noExport << "\n";
        failures.push_back(std::to_string(noExport) + " clock steps without a next export");
    }
    if (floors.clockStepLimitSeconds && !steps.empty() &&
        *std::max_element(steps.begin(), steps.end()) > *floors.clockStepLimitSeconds) {
        failures.push_back("a clock step held the next export back beyond " +
                           fixed(*floors.clockStepLimitSeconds, 0) + " s");
    }
    if (!drains.empty())
        out << "long outages, server back to backlog drained: " << summary(drains) << "\n";
    if (undrained > 0) {
        out << "long outages whose backlog did not drain in time: " << undrained << "\n";
        failures.push_back(std::to_string(undrained) + " long outages not drained");
    }
    if (!heals.empty()) {
        out << "central restores, server back to every station reconciled and its sales sent: "
            << summary(heals) << "\n";
    }
    if (unhealed > 0) {
        out << "central restores not healed in time: " << unhealed << "\n";
        failures.push_back(std::to_string(unhealed) + " central restores not healed");
    }
}

}  // namespace

bool report(std::ostream& out, const std::vector<TableCheck>& tables, const RunFigures& figures,
            const Floors& floors) {
    std::vector<std::string> failures;
    TableCheck total;
    printTables(out, tables, total);
    if (total.lost > 0) failures.push_back(std::to_string(total.lost) + " rows lost");
    if (total.falselyFlagged > 0)
        failures.push_back(std::to_string(total.falselyFlagged) + " rows falsely flagged");
    if (total.duplicates > 0)
        failures.push_back(std::to_string(total.duplicates) + " rows duplicated");
    if (total.stranded > 0)
        failures.push_back(std::to_string(total.stranded) +
                           " rows stranded (never to be sent, not held centrally)");
    if (total.pending > 0)
        failures.push_back(std::to_string(total.pending) + " rows pending after the drain");
    // Held centrally, but with their sale flagged no selection takes them
    // again: never flagged, never cleaned up.
    if (total.unflagged > 0)
        failures.push_back(std::to_string(total.unflagged) +
                           " rows unflagged after the drain (held centrally, never to be flagged)");
    if (total.written < floors.rowsWritten) {
        failures.push_back("only " + std::to_string(total.written) + " rows written (floor " +
                           std::to_string(floors.rowsWritten) + ")");
    }
    out << "rows written: " << total.written << " (floor " << floors.rowsWritten << ")\n";
    // Not the export's fault, but rows the central store does not hold: said
    // in every report that has them.
    if (total.reused > 0) {
        out << "keys reused after a restore: " << total.reused
            << " rows exported, then replaced centrally by another row under the same key\n";
    }
    if (!floors.why.empty()) out << "floors lowered: " << floors.why << "\n";

    if (figures.recovery) {
        out << "fault                    fired  recovered  median s   max s\n";
        std::int64_t fired = 0;
        for (const FaultTally& f : figures.recovery->faults) {
            std::string name = f.kind;
            name.resize(22, ' ');
            out << name << cell(f.fired, 8) << cell(f.recovered, 11) << "  "
                << (f.medianSeconds ? fixed(*f.medianSeconds, 1) : "-") << "  "
                << (f.maxSeconds ? fixed(*f.maxSeconds, 1) : "-") << "\n";
            fired += f.fired;
            const auto own = floors.kindFloors.find(f.kind);
            const std::int64_t floor =
                own == floors.kindFloors.end() ? floors.faultsPerKind : own->second;
            if (f.fired < floor) {
                failures.push_back(f.kind + " fired " + std::to_string(f.fired) + " times (floor " +
                                   std::to_string(floor) + ")");
            }
        }
        out << "faults fired: " << fired << " (floor per kind " << floors.faultsPerKind;
        for (const auto& [kind, floor] : floors.kindFloors) out << "; " << kind << " " << floor;
        out << ")\n";
        reportMeasured(out, *figures.recovery, floors, failures);
        auto restarts = figures.recovery->restartToExport;
        if (!restarts.empty()) {
            std::sort(restarts.begin(), restarts.end());
            const double mean =
                std::accumulate(restarts.begin(), restarts.end(), 0.0) / double(restarts.size());
            out << "restart to first export: " << restarts.size() << " restarts, median "
                << fixed(restarts[restarts.size() / 2], 1) << " s, mean " << fixed(mean, 1)
                << " s, max " << fixed(restarts.back(), 1) << " s";
            if (figures.recovery->restartsWithoutExport > 0)
                out << ", " << figures.recovery->restartsWithoutExport << " without export";
            out << "\n";
        }
    }
    if (figures.storedRows > 0) {
        out << "central store: " << figures.storedRows << " rows, " << figures.storedBytes
            << " content bytes\n";
        if (figures.sentRows)
            out << "resend ratio (rows received / stored): "
                << fixed(double(*figures.sentRows) / double(figures.storedRows), 3) << "\n";
        if (figures.sentBytes && figures.storedBytes > 0)
            out << "resend ratio (request bytes / stored content bytes): "
                << fixed(double(*figures.sentBytes) / double(figures.storedBytes), 3) << "\n";
    }
    if (figures.seed) out << "seed: " << *figures.seed << "\n";
    if (!figures.replay.empty()) out << "replay: " << figures.replay << "\n";
    if (failures.empty()) {
        out << "PASS\n";
        return true;
    }
    out << "FAIL:";
    for (const std::string& f : failures) out << " " << f << ";";
    out << "\n";
    return false;
}

}  // namespace qel::chaos
