// End-to-end throughput of the export agent: builds a station with a backlog
// of pending sales, and runs change check + transfer against the application
// server (in-process on 127.0.0.1, or one already listening on a loopback
// port) until nothing is pending; prints rows per second over all tables.
// With --one-transfer it makes exactly one transfer of 100 sales and prints
// the process's peak resident memory.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "bench_station.h"

namespace {

constexpr const char* kUsage =
    "usage: qelexp-drain-bench [SALES] [--max-sales N] [--port P]\n"
    "       qelexp-drain-bench --one-transfer [--port P]\n"
    "  SALES          pending sales in the backlog (default 20000)\n"
    "  --max-sales N  sales per transfer, QtdMaxVendasExp (default 1000)\n"
    "  --port P       use the application server listening on 127.0.0.1:P\n"
    "                 instead of one started in this process\n"
    "  --one-transfer one transfer of 100 sales from a prepared station (built\n"
    "                 once, in a child process); prints the peak resident memory\n";

struct Arguments {
    std::int64_t sales = 20'000;
    std::string maxSales = "1000";
    std::optional<int> port;
    bool oneTransfer = false;
};

long maxRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::int64_t pendingSales(qel::agent::TdtmExportaVenda& dm) {
    const qel::Dataset d = dm.adcCaixa.query(
        "SELECT COUNT(*) FROM VENDA WHERE IDIMPVENDA IN ('I','A') AND IDSITUVENDA <> 'P'");
    return d.field(std::size_t{0}).asInteger();
}

std::int64_t errorLines(const qel::bench::AgentHarness& h) {
    std::ifstream in(h.runLog->fileFor(h.clock.now()), std::ios::binary);
    std::int64_t errors = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(" - ERRO") != std::string::npos) ++errors;
    }
    return errors;
}

// Builds the prepared station in a child process, so its memory is not this one's.
std::filesystem::path preparedStation(std::int64_t history, std::int64_t pending) {
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        try {
            qel::bench::cachedStation(history, pending);
            std::_Exit(0);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            std::_Exit(1);
        }
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("building the station failed");
    }
    return qel::bench::cachedStation(history, pending);
}

int run(const Arguments& args) {
    qel::bench::TempFolder work("qel_drain_bench");
    const auto stationFolder = work.path() / "station";
    const std::int64_t sales = args.oneTransfer ? 100 : args.sales;
    if (args.oneTransfer) {
        qel::bench::copyStation(preparedStation(1'000, 100), stationFolder);
    } else {
        std::fprintf(stderr, "building a station with %lld pending sales ...\n",
                     static_cast<long long>(sales));
        qel::bench::buildStation(stationFolder, 1'000, sales);
    }
    const long rssBefore = maxRssKiB();

    qel::bench::AgentHarness h(stationFolder, work.path());
    std::optional<qel::bench::LoopbackServer> server;
    int port = 0;
    if (args.port) {
        port = *args.port;
    } else {
        server.emplace(work.path() / "central_store.db", h.clock);
        port = server->port();
    }
    h.pointAtServer(port);
    h.dm->run.QtdMaxVendasExp = args.oneTransfer ? "100" : args.maxSales;
    if (!h.dm->net.ConectaServidor(true, "sem servidor")) {
        std::fprintf(stderr, "cannot connect to 127.0.0.1:%d\n", port);
        return 1;
    }

    const std::int64_t maxPasses =
        args.oneTransfer ? 1 : sales / std::max<std::int64_t>(1, std::stoll(args.maxSales)) + 50;
    std::int64_t rows = 0;
    std::int64_t passes = 0;
    const auto started = std::chrono::steady_clock::now();
    while (passes < maxPasses) {
        const bool pending = h.pass();
        ++passes;
        rows += h.packetRows();
        // Open orders, the NFC-e counter and blocked products go at every
        // pass; the backlog is drained once no sale is left in the window.
        if (!pending || h.dm->run.NrSeqVendaIni.empty()) break;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::int64_t left = pendingSales(*h.dm);
    const std::int64_t errors = errorLines(h);

    std::printf("sales            %lld\n", static_cast<long long>(sales));
    std::printf("passes           %lld\n", static_cast<long long>(passes));
    std::printf("rows sent        %lld\n", static_cast<long long>(rows));
    std::printf("seconds          %.3f\n", seconds);
    std::printf("rows/s           %.0f\n", static_cast<double>(rows) / seconds);
    std::printf("sales left       %lld\n", static_cast<long long>(left));
    std::printf("error lines      %lld\n", static_cast<long long>(errors));
    std::printf("server           %s\n", args.port ? "external" : "in-process");
    if (args.oneTransfer) {
        std::printf("max RSS before   %ld KiB\n", rssBefore);
        std::printf("max RSS          %ld KiB\n", maxRssKiB());
    }
    return (errors == 0 && (args.oneTransfer || left == 0)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
                return argv[++i];
            };
            if (arg == "--help" || arg == "-h") {
                std::cout << kUsage;
                return 0;
            } else if (arg == "--one-transfer") {
                args.oneTransfer = true;
            } else if (arg == "--max-sales") {
                args.maxSales = value();
                if (std::stoll(args.maxSales) <= 0) throw std::invalid_argument("--max-sales");
            } else if (arg == "--port") {
                args.port = std::stoi(value());
            } else if (!arg.empty() && arg[0] != '-') {
                args.sales = std::stoll(arg);
                if (args.sales <= 0) throw std::invalid_argument("SALES");
            } else {
                throw std::invalid_argument("unknown argument " + arg);
            }
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n" << kUsage;
        return 2;
    }
    try {
        return run(args);
    } catch (const std::exception& e) {
        std::cerr << "qelexp-drain-bench: " << e.what() << "\n";
        return 1;
    }
}
