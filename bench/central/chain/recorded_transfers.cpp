#include "recorded_transfers.h"

#include <array>
#include <memory>

#include "bench_station.h"
#include "core/error.h"
#include "core/text.h"
#include "selection/catalogue.h"
#include "simulator/simulator.h"

namespace qel::chain {
namespace {

std::string zeroPadded(int n, std::size_t width) {
    std::string s = std::to_string(n);
    if (s.size() < width) s.insert(0, width - s.size(), '0');
    return s;
}

// Station 0001/001 with a day of exported sales and then a day of
// `pending` waiting ones, all closed before the agent's clock (benchNow).
void buildStation(const std::filesystem::path& folder, int pending) {
    std::filesystem::create_directories(folder);
    simulator::Options o;
    o.stores = {"0001"};
    o.stations = 1;
    o.days = 2;
    o.startDate = "2026-12-05";
    o.salesPerDay = pending;
    o.pendingSales = pending;
    o.seed = 7;
    o.quiet = true;
    {
        simulator::Database db((folder / "QELCAIXA.db").string());
        simulator::fillStation(db.get(), o);
        simulator::execute(db.get(), "PRAGMA wal_checkpoint(TRUNCATE)");
    }
    simulator::Database central((folder / "CENTRAL.db").string(), true);
}

std::int64_t rowsOf(const VariantArray& packets) {
    std::int64_t rows = 0;
    for (const Variant& p : packets) {
        if (p.isPacket()) rows += static_cast<std::int64_t>(p.asPacket().recordCount());
    }
    return rows;
}

}  // namespace

StationId chainStation(int index) {
    return {zeroPadded(index / 10 + 1, 4), zeroPadded(index % 10 + 1, 3)};
}

RecordedTransfers recordTransfers(const std::filesystem::path& work, int pendingSales,
                                  int salesPerTransfer, int maxTransfers) {
    const auto stationFolder = work / "station";
    buildStation(stationFolder, pendingSales);
    bench::AgentHarness h(stationFolder, work);
    bench::LoopbackServer server(work / "central_store.db", h.clock);
    h.pointAtServer(server.port());
    h.dm->run.QtdMaxVendasExp = std::to_string(salesPerTransfer);
    if (!h.dm->net.ConectaServidor(true, "sem servidor")) {
        throw Error("recording transfers: the agent cannot reach its server");
    }
    RecordedTransfers recorded;
    recorded.station = {h.dm->run.CDFILIAL, h.dm->run.CDCAIXA, h.dm->run.CDLOJA};
    recorded.extractDate = recorded.customerDate = h.clock.now();
    while (static_cast<int>(recorded.packets.size()) < maxTransfers) {
        if (!h.dm->ExisteDadosExportar(recorded.extractDate, recorded.customerDate)) break;
        const VariantArray packets = h.dm->PacotesExportacao.asArray();
        const std::uint64_t answersBefore = h.dm->answersLoaded;
        // The next change check only moves on once this transfer is acknowledged.
        h.dm->ExportaDados(recorded.extractDate, recorded.customerDate);
        if (h.dm->answersLoaded == answersBefore) {
            throw Error("recording transfers: the agent's transfer failed (see " + work.string() +
                        ")");
        }
        recorded.rows += rowsOf(packets);
        recorded.sales +=
            static_cast<std::int64_t>(packets[agent::kSalesEntry].asPacket().recordCount());
        recorded.packets.push_back(packets);
        // Open orders, the NFC-e counter and blocked products go in every
        // transfer; the backlog is sent once no sale is left in the window.
        if (h.dm->run.NrSeqVendaIni.empty()) break;
    }
    h.dm->net.ConectaServidor(false, "");
    return recorded;
}

VariantArray asStation(const VariantArray& packets, const StationId& from, const StationId& to) {
    // The columns that carry a station's own codes, and the code each holds.
    const std::array<std::pair<std::string_view, const std::string*>, 3> owned = {{
        {"CDFILIAL", &from.store},
        {"CDCAIXA", &from.station},
        {"CDSERIECX", &from.station},
    }};
    VariantArray out = packets;
    for (Variant& p : out) {
        if (!p.isPacket()) continue;
        const Dataset& d = p.asPacket();
        // Each column to rewrite, the code it holds now and the one it gets.
        std::vector<std::size_t> columns;
        std::vector<const std::string*> was;
        VariantArray becomes;
        for (std::size_t c = 0; c < d.fields().size(); ++c) {
            for (const auto& [name, code] : owned) {
                if (!text::iequals(d.fields()[c].name, name)) continue;
                columns.push_back(c);
                was.push_back(code);
                becomes.emplace_back(code == &from.store ? to.store : to.station);
            }
        }
        if (columns.empty()) continue;
        auto copy = std::make_shared<Dataset>(d);
        for (Row& row : copy->rows()) {
            for (std::size_t i = 0; i < columns.size(); ++i) {
                const std::string* value = row[columns[i]].get<std::string>();
                if (value && *value == *was[i]) row[columns[i]] = becomes[i];
            }
        }
        p = Variant(std::shared_ptr<const Dataset>(std::move(copy)));
    }
    return out;
}

}  // namespace qel::chain
