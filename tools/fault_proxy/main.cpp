// qelexp-fault-proxy: the fault proxy as a program, for reproducing a fault
// by hand between a station agent and the application server.

#include <pthread.h>
#include <signal.h>

#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "fault_proxy/fault_proxy.h"

namespace {

using qel::faults::ProxyFault;

constexpr std::string_view kProgram = "qelexp-fault-proxy";
constexpr std::string_view kUsage =
    "usage: qelexp-fault-proxy --listen-port P --upstream HOST:PORT [--seed N]\n"
    "                          [--rate R --faults a,b,c] [--delay-ms D]\n"
    "Relays HTTP calls from 127.0.0.1:P to HOST:PORT; each call gets one of the\n"
    "listed faults at random with probability R (seeded by N). SIGINT or SIGTERM\n"
    "prints the calls forwarded and the faults fired, then ends.\n"
    "faults: cut-during-request cut-after-commit cut-mid-answer delay server-error\n"
    "        malformed-answer partial-answer reset\n";

std::vector<ProxyFault> faultList(std::string_view text) {
    std::vector<ProxyFault> faults;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view name = text.substr(0, comma);
        const auto fault = qel::faults::faultFromName(name);
        if (!fault || *fault == ProxyFault::None) {
            throw qel::cli::UsageError("unknown fault \"" + std::string(name) + "\"");
        }
        faults.push_back(*fault);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return faults;
}

int serve(const qel::cli::ParsedOptions& options) {
    if (!options.has("--listen-port") || !options.has("--upstream")) {
        throw qel::cli::UsageError("--listen-port and --upstream are required");
    }
    const int listenPort = static_cast<int>(options.integer("--listen-port", 0, 0, 65535));
    const std::string upstream = options.text("--upstream");
    const auto colon = upstream.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        throw qel::cli::UsageError("--upstream wants HOST:PORT");
    }
    const std::string host = upstream.substr(0, colon);
    const int port = static_cast<int>(
        qel::cli::parseInteger(upstream.substr(colon + 1), "--upstream port", 1, 65535));
    const auto seed = static_cast<std::uint64_t>(options.integer("--seed", 1, 0, INT64_MAX));
    const double rate = options.number("--rate", 0, 0, 1);
    const std::vector<ProxyFault> faults = faultList(options.text("--faults"));
    const int delayMs = static_cast<int>(options.integer("--delay-ms", 500, 0, 3'600'000));
    if (rate > 0 && faults.empty()) throw qel::cli::UsageError("--rate needs --faults");

    // Blocked before the proxy starts its threads, so only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::optional<qel::faults::FaultProxy> proxy;
    try {
        proxy.emplace(host, port, seed, listenPort);
    } catch (const std::exception& e) {
        std::cerr << kProgram << ": " << e.what() << "\n";
        return qel::cli::kExitFailure;
    }
    proxy->setRandomFaults(rate, faults, delayMs);
    std::cout << "listening on 127.0.0.1:" << proxy->port() << ", forwarding to " << host << ":"
              << port << ", seed " << seed << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    const auto fired = proxy->fired();
    std::cout << "requests forwarded: " << proxy->requestsForwarded() << "\n"
              << "request body bytes: " << proxy->requestBytes() << "\n";
    proxy.reset();
    for (const ProxyFault f : qel::faults::allFaults()) {
        const auto it = fired.find(f);
        std::cout << faultName(f) << ": " << (it == fired.end() ? 0 : it->second) << "\n";
    }
    return qel::cli::kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    return qel::cli::runProgram(
        kProgram, kUsage, argc, argv,
        {{"--listen-port"}, {"--upstream"}, {"--seed"}, {"--rate"}, {"--faults"}, {"--delay-ms"}},
        serve);
}
