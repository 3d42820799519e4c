// The export agent against a simulated station:
//   ChangeCheck/NothingPending/<history>  the change check (sales window and
//       every selection of the export catalogue) on a station whose history
//       is all exported; its cost must not grow with the history;
//   ChangeCheck/Pending/100               the same with 100 sales waiting;
//   ExportRun/Idle/<history>               a whole export run (reconnect,
//       corrections, reference dates, first-export test, change check) of a
//       station with nothing pending;
//   Transfer/100                          change check, transfer to the
//       application server on 127.0.0.1 (SQLite central store), verification
//       and acknowledgement of 100 new sales.
// Large stations are built once and kept (see cachedStation).
#include <benchmark/benchmark.h>

#include <string>

#include "bench_station.h"

namespace {

using qel::bench::AgentHarness;
using qel::bench::TempFolder;

// The tables of the last change check that hold rows, for an error message.
std::string nonEmptyPackets(const AgentHarness& h) {
    std::string names;
    const qel::VariantArray& packets = h.dm->PacotesExportacao.asArray();
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (packets[i].isPacket() && !packets[i].asPacket().isEmpty()) {
            names += " #" + std::to_string(i) + ":" +
                     std::to_string(packets[i].asPacket().recordCount());
        }
    }
    return names;
}

void ChangeCheckNothingPending(benchmark::State& state) {
    const auto station = qel::bench::cachedStation(state.range(0));
    TempFolder work("qel_bench_agent");
    AgentHarness h(station, work.path());
    if (h.dm->ExisteDadosExportar(h.clock.now(), h.clock.now())) {
        state.SkipWithError(("the station has pending rows:" + nonEmptyPackets(h)).c_str());
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(h.dm->ExisteDadosExportar(h.clock.now(), h.clock.now()));
    }
}
BENCHMARK(ChangeCheckNothingPending)
    ->Name("ChangeCheck/NothingPending")
    ->Arg(10'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMicrosecond);

void ChangeCheckPending(benchmark::State& state) {
    const auto station = qel::bench::cachedStation(10'000, state.range(0));
    TempFolder work("qel_bench_agent");
    AgentHarness h(station, work.path());
    if (!h.dm->ExisteDadosExportar(h.clock.now(), h.clock.now())) {
        state.SkipWithError("nothing pending");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(h.dm->ExisteDadosExportar(h.clock.now(), h.clock.now()));
    }
    state.counters["rows"] = static_cast<double>(h.packetRows());
}
BENCHMARK(ChangeCheckPending)->Name("ChangeCheck/Pending")->Arg(100)->Unit(benchmark::kMillisecond);

void ExportRunIdle(benchmark::State& state) {
    const auto station = qel::bench::cachedStation(state.range(0));
    TempFolder work("qel_bench_agent");
    AgentHarness h(station, work.path());
    h.dm->EnviaVendas("0001", "001", h.dm->run.CDLOJA, 0);
    if (h.dm->outcome.result != qel::agent::RunOutcome::Result::NothingToExport) {
        state.SkipWithError(
            ("the run did not find the station idle:" + nonEmptyPackets(h)).c_str());
        return;
    }
    for (auto _ : state) {
        h.dm->EnviaVendas("0001", "001", h.dm->run.CDLOJA, 0);
    }
    if (!h.dm->outcome.succeeded()) state.SkipWithError("the idle run reported an error");
}
BENCHMARK(ExportRunIdle)
    ->Name("ExportRun/Idle")
    ->Arg(10'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

void Transfer(benchmark::State& state) {
    const std::int64_t sales = state.range(0);
    TempFolder work("qel_bench_agent");
    qel::bench::copyStation(qel::bench::cachedStation(10'000), work.path() / "station");
    AgentHarness h(work.path() / "station", work.path());
    // Sales close from 10:00 on the bench day, 100 s apart batch after batch;
    // the clock stands far enough ahead for every batch to be old enough.
    h.clock.set(qel::bench::benchNow().addDays(90));
    qel::bench::LoopbackServer server(work.path() / "central_store.db", h.clock);
    h.pointAtServer(server.port());
    if (!h.dm->net.ConectaServidor(true, "sem servidor")) {
        state.SkipWithError("cannot connect to the server");
        return;
    }
    qel::simulator::Database db((work.path() / "station" / "QELCAIXA.db").string());
    const qel::simulator::Millis first = *qel::simulator::parseIso("2026-12-07 10:00:00");
    std::int64_t batch = 0;
    std::int64_t rows = 0;
    for (auto _ : state) {
        state.PauseTiming();
        qel::simulator::addPendingSales(db.get(), "0001", "001", sales,
                                        first + batch * (sales + 10) * qel::simulator::kSecond,
                                        static_cast<std::uint64_t>(batch + 11));
        ++batch;
        state.ResumeTiming();
        if (!h.pass()) {
            state.SkipWithError("nothing was pending");
            return;
        }
        rows += h.packetRows();
    }
    // Sales still open ("P") wait by design; every other sale must have gone.
    const qel::Dataset left = h.dm->adcCaixa.query(
        "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'");
    if (left.field(std::size_t{0}).asInteger() != 0) {
        state.SkipWithError("sales left pending after the transfers");
    }
    state.counters["rows"] = benchmark::Counter(
        static_cast<double>(rows) / static_cast<double>(std::max<std::int64_t>(batch, 1)));
    state.counters["rows/s"] =
        benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(Transfer)->Name("Transfer")->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
