// The three pre-export corrections on a station with a long exported
// history and 100 sales waiting:
//   Corrections/<history>  setVendasSemStatus, setCorrigeVendasCanc and
//       AjustaItVendaImpos together, as every export run calls them. The
//       first run (which repairs the simulated waiting sales) is timed once
//       and reported as the counter first_run_ms; the loop times the runs
//       after it. Their cost must not grow with the history.
#include <benchmark/benchmark.h>

#include <chrono>

#include "bench_station.h"

namespace {

using qel::bench::AgentHarness;
using qel::bench::TempFolder;

void runCorrections(AgentHarness& h) {
    h.dm->setVendasSemStatus("0001", "001");
    h.dm->setCorrigeVendasCanc("0001", "001");
    h.dm->AjustaItVendaImpos();
}

void Corrections(benchmark::State& state) {
    TempFolder work("qel_bench_corrections");
    qel::bench::copyStation(qel::bench::cachedStation(state.range(0), 100),
                            work.path() / "station");
    AgentHarness h(work.path() / "station", work.path());
    const auto started = std::chrono::steady_clock::now();
    runCorrections(h);
    state.counters["first_run_ms"] =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    for (auto _ : state) runCorrections(h);
}
BENCHMARK(Corrections)
    ->Name("Corrections")
    ->Arg(10'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
