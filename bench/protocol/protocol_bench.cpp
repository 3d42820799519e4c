// Speed of the wire format and of one transfer's two big calls on loopback.
//   bench_protocol [--benchmark_filter=...]
// Goals: encode and decode of a 100-sale packet array at 300 MB/s or more;
// setInsereServidor + getVerificaExportacao of it in 25 ms or less.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <msgpack.hpp>

#include "application_server.h"
#include "central_store.h"
#include "contracts/net/net_connection.h"
#include "core/clock.h"
#include "core/dataset.h"
#include "http_server.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"
#include "sample_packets.h"

namespace {

using namespace qel;

const Variant& hundredSales() {
    static const Variant array(testing::samplePacketArray(100));
    return array;
}

std::size_t rowCount(const Variant& array) {
    std::size_t n = 0;
    for (const Variant& e : array.asArray()) {
        if (e.isPacket()) n += e.asPacket().recordCount();
    }
    return n;
}

void BM_EncodePacketArray(benchmark::State& state) {
    const Variant& array = hundredSales();
    Bytes out;
    for (auto _ : state) {
        out.clear();
        protocol::encodeTo(array, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
    state.counters["rows"] = static_cast<double>(rowCount(array));
    state.counters["bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_EncodePacketArray)->Unit(benchmark::kMicrosecond);

void BM_DecodePacketArray(benchmark::State& state) {
    const Bytes bytes = protocol::encode(hundredSales());
    for (auto _ : state) {
        Variant v = protocol::decode(bytes);
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodePacketArray)->Unit(benchmark::kMicrosecond);

// The general-purpose library's parse into its own object tree, before any
// conversion into variants: the floor a decoder built on it could reach.
void BM_DecodeWithMsgpackCxxTreeOnly(benchmark::State& state) {
    const Bytes bytes = protocol::encode(hundredSales());
    for (auto _ : state) {
        msgpack::object_handle oh =
            msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        benchmark::DoNotOptimize(oh.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeWithMsgpackCxxTreeOnly)->Unit(benchmark::kMicrosecond);

void BM_GzipPacketArray(benchmark::State& state) {
    const Bytes bytes = protocol::encode(hundredSales());
    std::size_t packed = 0;
    for (auto _ : state) packed = protocol::gzipCompress(bytes).size();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    state.counters["ratio"] = static_cast<double>(bytes.size()) / static_cast<double>(packed);
}
BENCHMARK(BM_GzipPacketArray)->Unit(benchmark::kMicrosecond);

// One transfer's two big calls through the agent's connection to the real
// server on loopback, SQLite central store in a temporary folder.
void BM_InsertAndVerifyLoopback(benchmark::State& state) {
    const auto folder = std::filesystem::temp_directory_path() / "qel_bench_protocol";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    {
        SystemClock clock;
        auto store = server::openSqliteStore(folder / "central.db");
        server::ApplicationServer app(*store, clock);
        server::HttpServer http(app, {});
        const int port = http.bindToAnyPort("127.0.0.1");
        http.start();
        net::TNetConnection c("Exp.rdmInsereServidor");
        c.Host = "127.0.0.1";
        c.Port = port;
        c.Settings.compress = state.range(0) != 0;
        c.open();
        const Variant& array = hundredSales();
        for (auto _ : state) {
            protocol::unwrapAnswer(c.call("setInsereServidor",
                                          {Variant("0001"), Variant("001"), Variant("01"), array}));
            Variant results = protocol::unwrapAnswer(
                c.call("getVerificaExportacao", {Variant("0001"), Variant("001"), array}));
            benchmark::DoNotOptimize(results);
        }
        state.counters["rows"] = static_cast<double>(rowCount(array));
        c.close();
        http.stop();
    }
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_InsertAndVerifyLoopback)
    ->ArgName("gzip")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
