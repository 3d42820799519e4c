// Central store figures: a backlog drain of 100-sale transfers stored and
// verified (setInsereServidor then getVerificaExportacao, in process) on
// SQLite and on PostgreSQL, and the fleet page of 1,000 and 5,000 stations.

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>

#include "application_server.h"
#include "bench_store.h"
#include "central_store.h"
#include "fleet_page.h"
#include "postgres_cluster.h"
#include "sample_packets.h"

namespace {

using namespace qel;

double processCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string code(int n, int width) {
    std::string s = std::to_string(n);
    if (s.size() < static_cast<std::size_t>(width)) s.insert(0, width - s.size(), '0');
    return s;
}

void Drain(benchmark::State& state, bool postgres) {
    bench::BenchStore store(postgres, "drain");
    if (!store) {
        state.SkipWithError(testing::PostgresCluster::unavailableReason().c_str());
        return;
    }
    ManualClock clock;
    server::ApplicationServer app(*store, clock);
    std::int64_t rows = 0;
    int n = 0;
    // CPU of this process (the server's share) and of the PostgreSQL
    // processes (the database's share), so the figure can be read apart
    // from how busy the machine was.
    auto* cluster = postgres ? testing::PostgresCluster::shared() : nullptr;
    const double pgBefore = cluster ? cluster->cpuSeconds() : 0;
    double serverCpu = 0;
    for (auto _ : state) {
        // Every transfer comes from a new station, so every row is new.
        state.PauseTiming();
        const std::string filial = code(n / 1000, 4), station = code(n % 1000, 3);
        const VariantArray packets = testing::samplePacketArray(100, filial, station);
        ++n;
        state.ResumeTiming();
        const double cpuStart = processCpuSeconds();
        const auto stored =
            app.call({}, {"Exp.rdmInsereServidor",
                          "setInsereServidor",
                          {Variant(filial), Variant(station), Variant("01"), Variant(packets)}});
        const auto verified = app.call({}, {"Exp.rdmInsereServidor",
                                            "getVerificaExportacao",
                                            {Variant(filial), Variant(station), Variant(packets)}});
        serverCpu += processCpuSeconds() - cpuStart;
        rows += static_cast<std::int64_t>(stored.rows);
        benchmark::DoNotOptimize(verified.answer);
    }
    const double pgCpu = cluster ? cluster->cpuSeconds() - pgBefore : 0;
    const double transfers = n > 0 ? n : 1;
    state.counters["server_ms/transfer"] = 1000 * serverCpu / transfers;
    state.counters["pg_ms/transfer"] = 1000 * pgCpu / transfers;
    state.counters["rows/cpu_s"] = static_cast<double>(rows) / (serverCpu + pgCpu);
    state.counters["rows/s"] =
        benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
    state.counters["rows/transfer"] = static_cast<double>(rows) / static_cast<double>(n);
}
BENCHMARK_CAPTURE(Drain, sqlite, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Drain, postgres, true)->Unit(benchmark::kMillisecond)->UseRealTime();

// /fleet for 1,000 and 5,000 stations (the argument): the store's fleet
// query and the page, as served.
void FleetPage(benchmark::State& state, bool postgres) {
    const int stations = static_cast<int>(state.range(0));
    bench::BenchStore store(postgres, "fleet" + std::to_string(stations));
    if (!store) {
        state.SkipWithError(testing::PostgresCluster::unavailableReason().c_str());
        return;
    }
    const DateTime now = DateTime::fromDateTime(2026, 12, 6, 12, 0, 0);
    for (int s = 0; s < stations; ++s) {
        server::InsertBatch b;
        b.store = code(s / 10, 4);
        b.station = code(s % 10, 3);
        b.receivedAt = now.addMinutes(-(s % 90));
        for (int r = 0; r < 30; ++r) {
            const std::string k = b.store + b.station + std::to_string(r);
            b.rows.push_back({r % 3 ? "ITEMVENDA" : "VENDA", Bytes(k.begin(), k.end()), Bytes{1}});
            if (r % 3 == 0)
                b.sales.push_back(
                    {Bytes(k.begin(), k.end()), b.store, b.station, now.date(), 1000});
        }
        b.summaries = {{b.store, b.station, now.date(), s % 7 ? 10 : 11, 10000}};
        b.refusedByTable = {{"MOVCAIXA", s % 3}};
        store->putBatch(b);
        store->recordCleanup(b.store, b.station, now.addDays(-1));
    }
    std::size_t bytes = 0;
    auto* cluster = postgres ? testing::PostgresCluster::shared() : nullptr;
    const double pgBefore = cluster ? cluster->cpuSeconds() : 0;
    double serverCpu = 0;
    int pages = 0;
    for (auto _ : state) {
        const double cpuStart = processCpuSeconds();
        const auto fleet = store->fleet(now, now.date().addDays(-31));
        const std::string page = server::renderFleetPage(fleet, now, 60);
        serverCpu += processCpuSeconds() - cpuStart;
        ++pages;
        bytes = page.size();
        benchmark::DoNotOptimize(page.data());
    }
    state.counters["page_bytes"] = static_cast<double>(bytes);
    const double n = pages > 0 ? pages : 1;
    state.counters["server_ms/page"] = 1000 * serverCpu / n;
    state.counters["pg_ms/page"] = cluster ? 1000 * (cluster->cpuSeconds() - pgBefore) / n : 0;
}
BENCHMARK_CAPTURE(FleetPage, sqlite, false)
    ->Arg(1000)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(FleetPage, postgres, true)
    ->Arg(1000)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
