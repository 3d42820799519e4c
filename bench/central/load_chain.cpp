// A chain of stations against two application servers over one PostgreSQL,
// on this machine: a steady load (each station one transfer per period) or
// the drain after an outage (every station with a day of waiting sales at
// once). Prints transfers per minute, latencies, errors, where the CPU went,
// what PostgreSQL's sessions were doing and the size of the database.
//   load_chain [--stations N] [--rate TRANSFERS_PER_MIN] [--seconds S] [--sales N]
//   load_chain --drain [--stations N] [--day-sales N] [--sales N]

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "chain_load.h"

namespace {

constexpr const char* kUsage =
    "usage: load_chain [options]\n"
    "  --stations N        stations of the chain, ten per store (1000)\n"
    "  --rate N            steady load: transfers per minute the chain offers (6000)\n"
    "  --seconds S         steady load: how long stations keep starting runs (120)\n"
    "  --sales N           sales per transfer (10; 100 with --drain, the agent's default)\n"
    "  --drain             every station starts at once with a day of waiting sales\n"
    "  --day-sales N       --drain: waiting sales per station (300)\n"
    "  --servers N         application servers over the one PostgreSQL (2)\n"
    "  --server-threads N  worker threads of each server (the server's default)\n"
    "  --server PATH       qelexp-server to run (the one of this build)\n"
    "  --seed N            seed of the stations' phases and server choices (1)\n";

std::filesystem::path defaultServer() {
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    return self.parent_path().parent_path().parent_path() / "server" / "qelexp-server";
}

}  // namespace

int main(int argc, char** argv) {
    qel::chain::ChainOptions o;
    bool salesGiven = false;
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
            } else if (arg == "--stations") {
                o.stations = std::stoi(value());
            } else if (arg == "--rate") {
                o.rate = std::stod(value());
            } else if (arg == "--seconds") {
                o.seconds = std::stod(value());
            } else if (arg == "--sales") {
                o.sales = std::stoi(value());
                salesGiven = true;
            } else if (arg == "--drain") {
                o.drain = true;
            } else if (arg == "--day-sales") {
                o.daySales = std::stoi(value());
            } else if (arg == "--servers") {
                o.servers = std::stoi(value());
            } else if (arg == "--server-threads") {
                o.serverThreads = std::stoi(value());
            } else if (arg == "--server") {
                o.serverExecutable = value();
            } else if (arg == "--seed") {
                o.seed = std::stoull(value());
            } else {
                throw std::invalid_argument("unknown argument " + arg);
            }
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n" << kUsage;
        return 2;
    }
    if (o.drain && !salesGiven) o.sales = 100;
    if (o.serverExecutable.empty()) o.serverExecutable = defaultServer();
    try {
        const qel::chain::ChainRun run = qel::chain::runChain(o);
        std::fputs(qel::chain::describe(run).c_str(), stdout);
        return qel::chain::succeeded(run) ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "load_chain: " << e.what() << "\n";
        return 1;
    }
}
