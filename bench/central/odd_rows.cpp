// What odd data from one station costs the others, through the application
// server in process, on SQLite and on PostgreSQL:
//   large-row  store 0002 stores 10,000 rows, store 0001 stores one sale with
//              a 7 MiB column, then store 0002 stores 10,000 more; the time of
//              each step and the bytes the process read meanwhile.
//   summaries  one transfer of 80,000 day summaries (RELVENDAS) of distinct days.
// Usage: bench_odd_rows [large-row|summaries]... (default: both)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "application_server.h"
#include "bench_store.h"
#include "central_store.h"
#include "core/dataset.h"
#include "postgres_cluster.h"

namespace {

using namespace qel;
using F = FieldType;

Variant packet(Dataset ds) {
    return Variant(std::make_shared<const Dataset>(std::move(ds)));
}

VariantArray emptyArray() {
    VariantArray a(47);
    for (auto& e : a) e = packet(Dataset({{"CDFILIAL", F::String, 4, 0}}));
    a[25] = Variant::null();
    a[26] = Variant::null();
    return a;
}

const DateTime kDay = DateTime::fromDate(2026, 12, 6);

VariantArray giftVouchers(const std::string& store, int first, int count) {
    Dataset ds({{"CDFILIAL", F::String, 4, 0},
                {"CDCAIXA", F::String, 3, 0},
                {"NRSEQVENDA", F::String, 12, 0},
                {"NRVALEPRESENTE", F::String, 20, 0},
                {"VRVALEPRESENTE", F::Decimal, 0, 2}});
    for (int i = first; i < first + count; ++i) {
        ds.append({Variant(store), Variant("001"), Variant(std::to_string(i / 4)),
                   Variant("VP" + std::to_string(i)), Variant(Decimal{5000 + i, 2})});
    }
    VariantArray a = emptyArray();
    a[46] = packet(std::move(ds));
    return a;
}

VariantArray saleWithLargeNote(std::size_t bytes) {
    Dataset ds({{"CDFILIAL", F::String, 4, 0},
                {"CDCAIXA", F::String, 3, 0},
                {"NRSEQVENDA", F::String, 12, 0},
                {"DTENTRVENDA", F::Date, 0, 0},
                {"VRTOTVENDA", F::Decimal, 0, 2},
                {"OBS", F::String, 0, 0}});
    ds.append({Variant("0001"), Variant("001"), Variant("1"), Variant(kDay),
               Variant(Decimal{1000, 2}), Variant(std::string(bytes, 'x'))});
    VariantArray a = emptyArray();
    a[16] = packet(std::move(ds));
    return a;
}

VariantArray daySummaries(int days) {
    Dataset ds({{"CDFILIAL", F::String, 4, 0},
                {"CDCAIXA", F::String, 3, 0},
                {"DTENTRVENDA", F::Date, 0, 0},
                {"QTVENDASMSDE", F::Integer, 0, 0},
                {"VRTOTMSDE", F::Decimal, 0, 2}});
    for (int d = 0; d < days; ++d) {
        ds.append({Variant("0001"), Variant("001"), Variant(kDay.addDays(-d)), Variant(1),
                   Variant(Decimal{100, 2})});
    }
    VariantArray a = emptyArray();
    a[33] = packet(std::move(ds));
    return a;
}

// Bytes this process has read through system calls so far (page cache included).
double bytesRead() {
    std::ifstream io("/proc/self/io");
    std::string name;
    double value = 0;
    while (io >> name >> value) {
        if (name == "rchar:") return value;
    }
    return 0;
}

// Runs one setInsereServidor and prints its time and the bytes read.
void transfer(server::ApplicationServer& app, const char* what, const std::string& store,
              const VariantArray& packets) {
    const double readBefore = bytesRead();
    const auto start = std::chrono::steady_clock::now();
    const auto out =
        app.call({}, {"Exp.rdmInsereServidor",
                      "setInsereServidor",
                      {Variant(store), Variant("001"), Variant("01"), Variant(packets)}});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const VariantArray& envelope = out.answer.asArray();
    const bool ok = envelope.at(0).asBoolean();
    std::printf("  %-34s %8.3f s  %10.1f MB read  %s\n", what, seconds,
                (bytesRead() - readBefore) / 1e6, ok ? "" : envelope.at(1).asString().c_str());
}

void largeRow(bool postgres) {
    bench::BenchStore store(postgres, "odd_large");
    if (!store) return;
    ManualClock clock;
    server::ApplicationServer app(*store, clock);
    std::printf("large-row, %s:\n", postgres ? "postgres" : "sqlite");
    transfer(app, "store 0002: 10,000 rows", "0002", giftVouchers("0002", 0, 10000));
    transfer(app, "store 0001: one sale of 7 MiB", "0001", saleWithLargeNote(7 << 20));
    transfer(app, "store 0002: 10,000 more rows", "0002", giftVouchers("0002", 10000, 10000));
    // Without the large row, for comparison.
    bench::BenchStore plain(postgres, "odd_plain");
    server::ApplicationServer other(*plain, clock);
    transfer(other, "without it: 10,000 rows", "0002", giftVouchers("0002", 0, 10000));
    transfer(other, "without it: 10,000 more rows", "0002", giftVouchers("0002", 10000, 10000));
}

void summaries(bool postgres) {
    bench::BenchStore store(postgres, "odd_summaries");
    if (!store) return;
    ManualClock clock;
    server::ApplicationServer app(*store, clock);
    std::printf("summaries, %s:\n", postgres ? "postgres" : "sqlite");
    transfer(app, "80,000 days in one transfer", "0001", daySummaries(80000));
}

}  // namespace

int main(int argc, char** argv) {
    const bool all = argc < 2;
    for (int engine = 0; engine < 2; ++engine) {
        const bool postgres = engine == 1;
        if (postgres && !testing::PostgresCluster::shared()) {
            std::printf("postgres: %s\n", testing::PostgresCluster::unavailableReason().c_str());
            continue;
        }
        for (int i = all ? 0 : 1; i < (all ? 1 : argc); ++i) {
            const std::string what = all ? "" : argv[i];
            if (all || what == "large-row") largeRow(postgres);
            if (all || what == "summaries") summaries(postgres);
        }
    }
}
