// The cost of reconciling a short day against the verification of an
// ordinary transfer of as many sales, on one station whose 1,000 sales of
// one day the application server (127.0.0.1, SQLite central store) holds:
//   Verification/1000     getVerificaExportacao of the packet array of a
//                         1,000-sale transfer (the sales and all their rows),
//                         as the transfer makes it: encoded, answered, decoded;
//   ReconcileDay/1000     the reconciliation of that day: the short-day
//                         question, the retention, the day's sales read,
//                         each asked about in the forms it can have been
//                         sent in, the answer checked (nothing to mark).
// Both run the server in this process: CPU time is the whole process's.
#include <benchmark/benchmark.h>

#include "bench_station.h"
#include "contracts/check_result.h"
#include "export/day_reconciliation.h"
#include "selection/catalogue.h"

namespace {

using qel::bench::AgentHarness;
using qel::bench::TempFolder;

constexpr int kSales = 1000;

// A station holding kSales closed sales of 05/12/2026, all sent to and held
// by `server`; the packet array of that one transfer is kept in `sent`.
struct HeldDay {
    TempFolder work{"qel_bench_reconcile"};
    std::unique_ptr<AgentHarness> agent;
    std::unique_ptr<qel::bench::LoopbackServer> server;
    qel::Variant sent;

    HeldDay() {
        const auto folder = work.path() / "station";
        std::filesystem::create_directories(folder);
        {
            qel::simulator::Options o;
            o.stores = {"0001"};
            o.stations = 1;
            o.days = 1;
            o.startDate = "2026-12-05";
            o.salesPerDay = kSales;
            o.pendingSales = kSales;
            o.seed = 7;
            o.quiet = true;
            qel::simulator::Database db((folder / "QELCAIXA.db").string());
            qel::simulator::fillStation(db.get(), o);
            qel::simulator::execute(db.get(),
                                    "UPDATE VENDA SET IDSITUVENDA = 'O' WHERE IDSITUVENDA = 'P'");
            qel::simulator::execute(db.get(),
                                    "UPDATE VENDA SET IDIMPVENDA = 'I', DTEXPVENDA = NULL");
            qel::simulator::execute(db.get(), "UPDATE PARAVEND SET NRVENDAEXP = '1000'");
        }
        qel::simulator::Database central((folder / "CENTRAL.db").string(), true);
        agent = std::make_unique<AgentHarness>(folder, work.path());
        server = std::make_unique<qel::bench::LoopbackServer>(work.path() / "central_store.db",
                                                              agent->clock);
        agent->pointAtServer(server->port());
        if (!agent->dm->net.ConectaServidor(true, "sem servidor")) {
            throw std::runtime_error("no server");
        }
        agent->dm->run.FiltroDtMovim = "T";
        agent->dm->run.QtdMaxVendasExp = std::to_string(kSales);
        if (!agent->dm->ExisteDadosExportar(agent->clock.now(), agent->clock.now())) {
            throw std::runtime_error("nothing pending");
        }
        sent = agent->dm->PacotesExportacao;
        agent->dm->ExportaDados(agent->clock.now(), agent->clock.now());
    }
    std::int64_t rows() const {
        std::int64_t n = 0;
        for (const qel::Variant& p : sent.asArray()) {
            if (p.isPacket()) n += static_cast<std::int64_t>(p.asPacket().recordCount());
        }
        return n;
    }
};

void Verification(benchmark::State& state) {
    HeldDay day;
    auto& server = day.agent->dm->net.netInsereServidor;
    for (auto _ : state) {
        const qel::Variant answer = qel::contracts::CheckResultServ(
            server.call("getVerificaExportacao",
                        {qel::Variant("0001"), qel::Variant("001"), day.sent}),
            true, 0);
        benchmark::DoNotOptimize(answer);
    }
    state.counters["rows"] = static_cast<double>(day.rows());
    state.counters["sales"] =
        static_cast<double>(day.sent.asArray()[qel::agent::kSalesEntry].asPacket().recordCount());
}
BENCHMARK(Verification)
    ->Name("Verification/1000")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

void ReconcileDay(benchmark::State& state) {
    HeldDay day;
    const qel::DateTime fifth = qel::DateTime::fromDate(2026, 12, 5);
    for (auto _ : state) {
        const auto result = qel::agent::ReconciliaDias(*day.agent->dm, "0001", "001", 31, fifth);
        if (!result.succeeded || result.days.size() != 1 || result.days[0].checked != kSales ||
            result.days[0].resent != 0) {
            const std::string why =
                "the day was not checked whole, or a held sale was marked: " +
                std::to_string(result.days.empty() ? -1 : result.days[0].checked) + " checked, " +
                std::to_string(result.days.empty() ? -1 : result.days[0].resent) + " marked";
            state.SkipWithError(why.c_str());
            return;
        }
    }
}
BENCHMARK(ReconcileDay)
    ->Name("ReconcileDay/1000")
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
