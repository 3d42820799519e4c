// Harness: peak memory of a qelexp-server process while several clients
// send requests near the size limit at the same moment. Loopback only.
//   big_requests <qelexp-server> [clients=8] [MiB=63]
// Starts the server on a free port with a temporary central store, sends
// each client's setInsereServidor of about <MiB> MiB (uncompressed sample
// sales) at once, and prints the answers' statuses and the server's peak
// resident memory (VmHWM). The server is stopped at the end.

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

#include "loopback/loopback.h"
#include "protocol/codec.h"
#include "sample_packets.h"

using namespace qel;

namespace {

long statusKiB(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: big_requests <qelexp-server> [clients=8] [MiB=63]\n");
        return 2;
    }
    const int clients = argc > 2 ? std::atoi(argv[2]) : 8;
    const double mib = argc > 3 ? std::atof(argv[3]) : 63;

    // A packet array of sample sales about the size asked for.
    const std::size_t per100 = protocol::encode(Variant(testing::samplePacketArray(100))).size();
    const int sales = static_cast<int>(mib * 1048576.0 / static_cast<double>(per100) * 100.0);
    const Bytes body = protocol::encodeRequest("Exp.rdmInsereServidor", "setInsereServidor",
                                               {Variant("0001"), Variant("001"), Variant("01"),
                                                Variant(testing::samplePacketArray(sales))});
    const std::string head =
        "POST /call/Exp.rdmInsereServidor/setInsereServidor HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: application/msgpack\r\nConnection: close\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n";

    const auto folder =
        std::filesystem::temp_directory_path() / ("qel_big_requests_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const int port = loopback::freePort();
    const std::string db = (folder / "central.db").string(), portText = std::to_string(port);
    const pid_t server = ::fork();
    if (server == 0) {
        ::execl(argv[1], argv[1], "--listen", "127.0.0.1", "--port", portText.c_str(), "--db",
                db.c_str(), "--quiet", static_cast<char*>(nullptr));
        std::perror("exec");
        std::_Exit(127);
    }
    for (int i = 0; i < 100; ++i) {
        const int fd = loopback::connect(port);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const long idleKiB = statusKiB(server, "VmRSS");

    std::mutex mutex;
    std::map<std::string, int> statuses;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            const int fd = loopback::connect(port);
            std::string status = "no connection";
            if (fd >= 0) {
                std::string request = head;
                request.append(reinterpret_cast<const char*>(body.data()), body.size());
                std::size_t sent = 0;
                while (sent < request.size()) {
                    const ssize_t n =
                        ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    sent += static_cast<std::size_t>(n);
                }
                char answer[512] = {};
                const ssize_t n = ::recv(fd, answer, sizeof answer - 1, 0);
                status = n > 12 ? std::string(answer + 9, 3) : "no answer";
                ::close(fd);
            }
            std::lock_guard lock(mutex);
            ++statuses[status];
        });
    }
    for (auto& t : threads) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const long peakKiB = statusKiB(server, "VmHWM");
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    std::filesystem::remove_all(folder);

    std::printf("clients=%d request=%.1fMiB seconds=%.1f server_idle=%ldMiB server_peak=%ldMiB",
                clients, static_cast<double>(body.size()) / 1048576.0, seconds, idleKiB / 1024,
                peakKiB / 1024);
    for (const auto& [status, count] : statuses) std::printf(" %s=%d", status.c_str(), count);
    std::printf("\n");
    return 0;
}
