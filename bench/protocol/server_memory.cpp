// Harness: the resident memory of a qelexp-server process under large
// verifications of narrow rows (sales of five columns). Loopback only.
//   server_memory <qelexp-server> together [clients=6] [rows=1000000] [gzip=0] [server options...]
//   server_memory <qelexp-server> agent [rounds=8] [rows=300000] [server options...]
// "together": each client sends getVerificaExportacao of about <rows> sample
// rows at the same moment (gzip-compressed when gzip is 1); prints the
// answers' statuses, the server's peak (VmHWM) and its RSS once all are
// answered. "agent": the agent's pattern, one station after another sending
// setInsereServidor and then getVerificaExportacao of about <rows> rows,
// <rounds> times; prints the RSS after each round. The server runs on a free
// port with a temporary SQLite store and is stopped at the end.

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/dataset.h"
#include "loopback/loopback.h"
#include "protocol/codec.h"
#include "protocol/gzip.h"
#include "sample_packets.h"

using namespace qel;

namespace {

long statusMiB(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1) / 1024;
    }
    return 0;
}

// One whole call on its own connection; answers the status ("503") once the
// whole answer has been read.
std::string call(int port, const std::string& method, const std::string& body, bool gzip) {
    const int fd = loopback::connect(port);
    if (fd < 0) return "no connection";
    std::string request = "POST /call/Exp.rdmInsereServidor/" + method +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/msgpack\r\n"
                          "Connection: close\r\nAccept-Encoding: gzip\r\n" +
                          (gzip ? "Content-Encoding: gzip\r\n" : "") +
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    std::string answer;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        if (answer.size() < 64) answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer.size() > 12 ? answer.substr(9, 3) : "no answer";
}

std::string requestBody(const std::string& method, const VariantArray& packets) {
    VariantArray args{Variant("0001"), Variant("001")};
    if (method == "setInsereServidor") args.push_back(Variant("01"));
    args.push_back(Variant(packets));
    const Bytes b = protocol::encodeRequest("Exp.rdmInsereServidor", method, args);
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// A packet array whose sales packet holds `rows` sales of a few columns
// each (about 40 bytes a row on the wire), the other packets empty.
VariantArray rowsOf(long rows) {
    VariantArray a = testing::samplePacketArray(0);
    Dataset venda({{"CDFILIAL", FieldType::String, 4, 0},
                   {"CDCAIXA", FieldType::String, 3, 0},
                   {"NRSEQVENDA", FieldType::String, 12, 0},
                   {"DTENTRVENDA", FieldType::DateTime, 0, 0},
                   {"VRTOTVENDA", FieldType::Decimal, 0, 2}});
    const DateTime day = DateTime::fromDate(2026, 12, 6);
    for (long r = 0; r < rows; ++r) {
        venda.append({Variant("0001"), Variant("001"), Variant(std::to_string(r + 1)),
                      Variant(day.addMinutes(static_cast<double>(r % 600))),
                      Variant(Decimal{1000 + r % 5000, 2})});
    }
    a[16] = Variant(std::make_shared<const Dataset>(std::move(venda)));
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: server_memory <qelexp-server> together|agent [n] [rows] [gzip] "
                     "[server options...]\n");
        return 2;
    }
    const std::string mode = argv[2];
    const bool together = mode == "together";
    const int n = argc > 3 ? std::atoi(argv[3]) : together ? 6 : 8;
    const long rows = argc > 4 ? std::atol(argv[4]) : together ? 1000000 : 300000;
    const bool gzip = together && argc > 5 && std::atoi(argv[5]) != 0;
    const int extra = together ? 6 : 5;

    const auto folder = std::filesystem::temp_directory_path() /
                        ("qel_server_memory_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const int port = loopback::freePort();
    const std::string db = (folder / "central.db").string(), portText = std::to_string(port);
    std::vector<const char*> command = {argv[1],          "--listen", "127.0.0.1", "--port",
                                        portText.c_str(), "--db",     db.c_str(),  "--quiet"};
    for (int i = extra; i < argc; ++i) command.push_back(argv[i]);
    command.push_back(nullptr);
    const pid_t server = ::fork();
    if (server == 0) {
        ::execv(argv[1], const_cast<char* const*>(command.data()));
        std::perror("exec");
        std::_Exit(127);
    }
    for (int i = 0; i < 100 && !loopback::accepts(port); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf("server_idle=%ldMiB\n", statusMiB(server, "VmRSS"));

    const VariantArray packets = rowsOf(rows);
    if (together) {
        std::string body = requestBody("getVerificaExportacao", packets);
        const std::size_t plain = body.size();
        if (gzip) {
            body = protocol::gzipCompress(
                {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
        }
        std::printf("request=%.1fMiB unpacked=%.1fMiB\n",
                    static_cast<double>(body.size()) / 1048576.0,
                    static_cast<double>(plain) / 1048576.0);
        std::mutex mutex;
        std::map<std::string, int> statuses;
        std::vector<std::thread> threads;
        for (int c = 0; c < n; ++c) {
            threads.emplace_back([&] {
                const std::string status = call(port, "getVerificaExportacao", body, gzip);
                std::lock_guard lock(mutex);
                ++statuses[status];
            });
        }
        for (auto& t : threads) t.join();
        // The server returns freed memory just after its last answer is written.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::printf("clients=%d server_peak=%ldMiB server_after=%ldMiB", n,
                    statusMiB(server, "VmHWM"), statusMiB(server, "VmRSS"));
        for (const auto& [status, count] : statuses) std::printf(" %s=%d", status.c_str(), count);
        std::printf("\n");
    } else {
        const std::string insert = requestBody("setInsereServidor", packets);
        const std::string verify = requestBody("getVerificaExportacao", packets);
        std::printf("request=%.1fMiB\n", static_cast<double>(insert.size()) / 1048576.0);
        for (int round = 1; round <= n; ++round) {
            const std::string a = call(port, "setInsereServidor", insert, false);
            const std::string b = call(port, "getVerificaExportacao", verify, false);
            std::printf("round=%d insert=%s verify=%s server_rss=%ldMiB server_peak=%ldMiB\n",
                        round, a.c_str(), b.c_str(), statusMiB(server, "VmRSS"),
                        statusMiB(server, "VmHWM"));
            std::fflush(stdout);
        }
    }
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    std::filesystem::remove_all(folder);
    return 0;
}
