// qelexp-fault-proxy: the fault proxy as a program, for reproducing a fault
// by hand between a station agent and the application server.
//
//   qelexp-fault-proxy --listen-port P --upstream HOST:PORT [--seed N]
//                      [--rate R --faults a,b,c] [--delay-ms D]
//
// Calls get one of the listed faults at random with probability R (seeded).
// SIGINT or SIGTERM prints what was forwarded and which faults fired.

#include <signal.h>

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fault_proxy/fault_proxy.h"

namespace {

using qel::faults::ProxyFault;

struct Options {
    int listenPort = -1;
    std::string upstreamHost;
    int upstreamPort = 0;
    std::uint64_t seed = 1;
    double rate = 0;
    std::vector<ProxyFault> faults;
    int delayMs = 500;
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "qelexp-fault-proxy: " << problem << "\n"
              << "usage: qelexp-fault-proxy --listen-port P --upstream HOST:PORT [--seed N]\n"
              << "                          [--rate R --faults a,b,c] [--delay-ms D]\n"
              << "faults:";
    for (const ProxyFault f : qel::faults::allFaults()) std::cerr << " " << faultName(f);
    std::cerr << "\n";
    std::exit(2);
}

template <typename Number>
Number number(std::string_view option, std::string_view text, Number low, Number high) {
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        usage("bad value \"" + std::string(text) + "\" for " + std::string(option));
    }
    return value;
}

std::vector<ProxyFault> faultList(std::string_view text) {
    std::vector<ProxyFault> faults;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view name = text.substr(0, comma);
        const auto fault = qel::faults::faultFromName(name);
        if (!fault || *fault == ProxyFault::None)
            usage("unknown fault \"" + std::string(name) + "\"");
        faults.push_back(*fault);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return faults;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            usage("missing value for " + std::string(arg));
        }
        if (arg == "--listen-port") {
            o.listenPort = number(arg, value, 0, 65535);
        } else if (arg == "--upstream") {
            const auto colon = value.rfind(':');
            if (colon == std::string_view::npos || colon == 0) usage("--upstream wants HOST:PORT");
            o.upstreamHost = value.substr(0, colon);
            o.upstreamPort = number(arg, value.substr(colon + 1), 1, 65535);
        } else if (arg == "--seed") {
            o.seed = number<std::uint64_t>(arg, value, 0, UINT64_MAX);
        } else if (arg == "--rate") {
            o.rate = number(arg, value, 0.0, 1.0);
        } else if (arg == "--faults") {
            o.faults = faultList(value);
        } else if (arg == "--delay-ms") {
            o.delayMs = number(arg, value, 0, 3'600'000);
        } else {
            usage("unknown option " + std::string(arg));
        }
    }
    if (o.listenPort < 0) usage("--listen-port is required");
    if (o.upstreamHost.empty()) usage("--upstream is required");
    if (o.rate > 0 && o.faults.empty()) usage("--rate needs --faults");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    // Blocked before any thread starts, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::optional<qel::faults::FaultProxy> proxy;
    try {
        proxy.emplace(o.upstreamHost, o.upstreamPort, o.seed, o.listenPort);
    } catch (const std::exception& e) {
        std::cerr << "qelexp-fault-proxy: " << e.what() << "\n";
        return 1;
    }
    proxy->setRandomFaults(o.rate, o.faults, o.delayMs);
    std::cout << "listening on 127.0.0.1:" << proxy->port() << ", forwarding to " << o.upstreamHost
              << ":" << o.upstreamPort << ", seed " << o.seed << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    const auto fired = proxy->fired();
    const auto forwarded = proxy->requestsForwarded();
    const auto bytes = proxy->requestBytes();
    proxy.reset();
    std::cout << "requests forwarded: " << forwarded << "\n"
              << "request body bytes: " << bytes << "\n";
    for (const ProxyFault f : qel::faults::allFaults()) {
        const auto it = fired.find(f);
        std::cout << faultName(f) << ": " << (it == fired.end() ? 0 : it->second) << "\n";
    }
    return 0;
}
