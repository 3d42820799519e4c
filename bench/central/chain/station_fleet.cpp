#include "station_fleet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <queue>
#include <random>

#include "core/dataset.h"
#include "core/error.h"
#include "core/text.h"
#include "protocol/codec.h"
#include "protocol/envelope.h"
#include "protocol/gzip.h"

namespace qel::chain {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

enum class Step { Idle, Connecting, Health, Insert, Extract, Customer, Verify };

constexpr std::size_t kMaxAnswerBytes = 256u << 20;  // what the agent accepts
constexpr std::size_t kErrorSamples = 8;

// What a client needs of an answer's head.
struct AnswerHead {
    int status = 0;
    std::size_t length = 0;
    bool gzipped = false;
    std::optional<double> retryAfter;
};

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// `head` runs from the status line to the last field line, without the
// blank line. Nullopt when it is not an answer with a Content-Length.
std::optional<AnswerHead> parseAnswerHead(std::string_view head) {
    AnswerHead a;
    std::size_t end = head.find("\r\n");
    const std::string_view status = head.substr(0, end);
    if (status.size() < 12 || status.substr(0, 7) != "HTTP/1.") return std::nullopt;
    a.status = std::atoi(std::string(status.substr(9, 3)).c_str());
    bool hasLength = false;
    while (end != std::string_view::npos) {
        const std::size_t start = end + 2;
        end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = trimmed(line.substr(0, colon));
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (text::iequals(name, "Content-Length")) {
            a.length = std::strtoull(std::string(value).c_str(), nullptr, 10);
            hasLength = true;
        } else if (text::iequals(name, "Content-Encoding")) {
            a.gzipped = text::iequals(value, "gzip");
        } else if (text::iequals(name, "Retry-After")) {
            a.retryAfter = std::max(0.0, std::atof(std::string(value).c_str()));
        } else if (text::iequals(name, "Transfer-Encoding")) {
            return std::nullopt;
        }
    }
    if (!hasLength) return std::nullopt;
    return a;
}

// Verdicts of a verification answer other than OK.
std::int64_t refusedVerdicts(const Variant& payload, std::int64_t& verdicts) {
    std::int64_t refused = 0;
    for (const Variant& p : payload.asArray()) {
        const Dataset& ds = p.asPacket();
        const std::size_t col = ds.fieldIndex("IDSITUACAO");
        for (const Row& row : ds.rows()) {
            ++verdicts;
            const std::string* v = row[col].get<std::string>();
            if (!v || *v != "OK") ++refused;
        }
    }
    return refused;
}

// The loopback address station `index` calls from, 127.1.x.y: stations of
// a chain come from addresses of their own, and the server counts what a
// single address may hold.
sockaddr_in sourceAddress(std::size_t index) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    const auto host =
        static_cast<std::uint32_t>(0x7F010000u | ((index / 250) << 8) | (index % 250 + 1));
    a.sin_addr.s_addr = htonl(host);
    return a;
}

void raiseDescriptorLimit() {
    rlimit l{};
    if (::getrlimit(RLIMIT_NOFILE, &l) == 0 && l.rlim_cur < l.rlim_max) {
        l.rlim_cur = l.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &l);
    }
}

struct Station {
    StationWork* work = nullptr;
    std::size_t index = 0;
    int fd = -1;
    Step step = Step::Idle;
    std::size_t next = 0;   // the transfer to send next
    int failures = 0;       // of transfer `next`
    std::int64_t beat = 0;  // periodic: the next beat of its timer
    Clock::duration phase{};
    bool finished = false;
    std::string head;  // of the request being sent
    const std::string* body = nullptr;
    std::size_t written = 0;
    std::string in;  // answer bytes read so far
    Clock::time_point runStart, transferStart, deadline;
};

class Fleet {
  public:
    Fleet(std::vector<StationWork>& work, const DateCalls& dates, const FleetPlan& plan)
        : dates_(dates), plan_(plan), random_(plan.seed), stations_(work.size()) {
        if (plan_.ports.empty()) throw Error("the fleet needs a server");
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) throw Error(std::string("epoll_create1: ") + std::strerror(errno));
        for (std::size_t i = 0; i < work.size(); ++i) {
            stations_[i].work = &work[i];
            stations_[i].index = i;
        }
    }
    ~Fleet() {
        for (Station& s : stations_) closeConnection(s);
        ::close(epoll_);
    }
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    FleetResult run() {
        start_ = Clock::now();
        const auto period =
            std::chrono::duration_cast<Clock::duration>(Seconds(plan_.periodSeconds));
        std::uniform_real_distribution<double> phase(0, plan_.periodSeconds);
        for (Station& s : stations_) {
            if (s.work->transfers.empty()) {
                finish(s, true);
                continue;
            }
            if (period.count() > 0) {
                s.phase = std::chrono::duration_cast<Clock::duration>(Seconds(phase(random_)));
            }
            due_.push({start_ + s.phase, s.index});
        }
        std::vector<epoll_event> events(512);
        auto lastSweep = start_;
        while (unfinished_ > 0) {
            auto now = Clock::now();
            while (!due_.empty() && due_.top().first <= now) {
                const std::size_t i = due_.top().second;
                due_.pop();
                startRun(stations_[i]);
            }
            int waitMs = 100;
            if (!due_.empty()) {
                const auto untilDue =
                    std::chrono::ceil<std::chrono::milliseconds>(due_.top().first - now);
                waitMs = static_cast<int>(std::clamp<std::int64_t>(untilDue.count(), 0, 100));
            }
            const int n =
                ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), waitMs);
            if (n < 0 && errno != EINTR) {
                throw Error(std::string("epoll_wait: ") + std::strerror(errno));
            }
            for (int e = 0; e < n; ++e) {
                Station& s = stations_[events[static_cast<std::size_t>(e)].data.u64];
                if (s.fd < 0) continue;
                const std::uint32_t what = events[static_cast<std::size_t>(e)].events;
                if (s.step == Step::Connecting) {
                    connected(s);
                } else if (s.written < s.head.size() + (s.body ? s.body->size() : 0)) {
                    flush(s);
                } else if (what & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                    readable(s);
                }
            }
            now = Clock::now();
            if (now - lastSweep >= std::chrono::seconds(1)) {
                lastSweep = now;
                for (Station& s : stations_) {
                    if (s.fd >= 0 && now > s.deadline) fail(s, "no answer in time", false, 0);
                }
            }
        }
        result_.seconds = Seconds(last_ - start_).count();
        return std::move(result_);
    }

  private:
    double secondsSinceStart(Clock::time_point t) const { return Seconds(t - start_).count(); }

    void startRun(Station& s) {
        if (s.finished) return;
        s.runStart = Clock::now();
        s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s.fd < 0) return fail(s, std::string("socket: ") + std::strerror(errno), false, 0);
        const int one = 1;
        ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const sockaddr_in from = sourceAddress(s.index);
        if (::bind(s.fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
            return fail(s, std::string("bind: ") + std::strerror(errno), false, 0);
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::uniform_int_distribution<std::size_t> server(0, plan_.ports.size() - 1);
        to.sin_port = htons(static_cast<std::uint16_t>(plan_.ports[server(random_)]));
        s.step = Step::Connecting;
        s.deadline = s.runStart + std::chrono::seconds(10);  // the agent's connect time-out
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u64 = s.index;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &ev) != 0) {
            return fail(s, std::string("epoll_ctl: ") + std::strerror(errno), false, 0);
        }
        if (::connect(s.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
            errno != EINPROGRESS) {
            return fail(s, std::string("connect: ") + std::strerror(errno), false, 0);
        }
    }

    void connected(Station& s) {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) return fail(s, std::string("connect: ") + std::strerror(error), false, 0);
        send(s, Step::Health);
    }

    void send(Station& s, Step step) {
        s.step = step;
        s.in.clear();
        s.written = 0;
        if (step == Step::Health) {
            s.head = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
            s.body = nullptr;
        } else {
            const TransferCalls& t = s.work->transfers[s.next];
            const WireCall& call = step == Step::Insert     ? t.insert
                                   : step == Step::Extract  ? dates_.extract
                                   : step == Step::Customer ? dates_.customer
                                                            : t.verify;
            if (step == Step::Insert) s.transferStart = Clock::now();
            s.head = "POST " + call.path +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\n"
                     "Content-Type: application/msgpack\r\n" +
                     (call.gzipped ? "Content-Encoding: gzip\r\n" : "") +
                     "Content-Length: " + std::to_string(call.body.size()) + "\r\n\r\n";
            s.body = &call.body;
        }
        s.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        Seconds(plan_.answerTimeoutSeconds));
        flush(s);
    }

    void flush(Station& s) {
        const std::size_t bodySize = s.body ? s.body->size() : 0;
        const std::size_t total = s.head.size() + bodySize;
        while (s.written < total) {
            iovec parts[2];
            int count = 0;
            if (s.written < s.head.size()) {
                parts[count++] = {s.head.data() + s.written, s.head.size() - s.written};
            }
            const std::size_t bodyDone = s.written > s.head.size() ? s.written - s.head.size() : 0;
            if (bodySize > bodyDone) {
                parts[count++] = {const_cast<char*>(s.body->data()) + bodyDone,
                                  bodySize - bodyDone};
            }
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = static_cast<std::size_t>(count);
            // MSG_NOSIGNAL: a server that closed the connection fails this
            // station's call instead of killing the process.
            const ssize_t n = ::sendmsg(s.fd, &message, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return watch(s, EPOLLOUT);
            if (n < 0) return fail(s, std::string("send: ") + std::strerror(errno), false, 0);
            s.written += static_cast<std::size_t>(n);
        }
        watch(s, EPOLLIN);
    }

    void watch(Station& s, std::uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = s.index;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, s.fd, &ev);
    }

    void readable(Station& s) {
        char buffer[65536];
        bool closed = false;
        for (;;) {
            const ssize_t n = ::read(s.fd, buffer, sizeof buffer);
            if (n > 0) {
                s.in.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            closed = true;  // end of stream or a reset
            break;
        }
        const std::size_t headEnd = s.in.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            const auto head = parseAnswerHead(std::string_view(s.in).substr(0, headEnd));
            if (!head) return fail(s, "an answer without a Content-Length", false, 0);
            if (head->length > kMaxAnswerBytes) return fail(s, "an answer too large", false, 0);
            if (s.in.size() >= headEnd + 4 + head->length) {
                std::string body = s.in.substr(headEnd + 4, head->length);
                return answered(s, *head, std::move(body));
            }
        }
        if (closed) fail(s, "the server closed the connection before answering", false, 0);
    }

    void answered(Station& s, const AnswerHead& head, std::string body) {
        if (head.status == 503) {
            return fail(s, "503 busy", true, head.retryAfter.value_or(plan_.retrySeconds));
        }
        if (s.step == Step::Health) {
            if (head.status != 200) {
                return fail(s, "GET /health answered " + std::to_string(head.status), false, 0);
            }
            return send(s, Step::Insert);
        }
        Variant payload;
        try {
            if (head.gzipped) {
                body = protocol::gzipDecompress(
                    {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()},
                    kMaxAnswerBytes);
            }
            payload = protocol::unwrapAnswer(protocol::decode(
                {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}));
        } catch (const std::exception& e) {
            return fail(s, "HTTP " + std::to_string(head.status) + ": " + e.what(), false, 0);
        }
        switch (s.step) {
            case Step::Insert:
                return send(s, Step::Extract);
            case Step::Extract:
                return send(s, Step::Customer);
            case Step::Customer:
                return send(s, Step::Verify);
            default:
                break;
        }
        std::int64_t verdicts = 0;
        std::int64_t refused = 0;
        try {
            refused = refusedVerdicts(payload, verdicts);
        } catch (const std::exception& e) {
            return fail(s, std::string("verification answer: ") + e.what(), false, 0);
        }
        if (refused > 0) {
            result_.refused += refused;
            return fail(
                s,
                std::to_string(refused) + " of " + std::to_string(verdicts) + " rows not confirmed",
                false, 0);
        }
        confirmed(s);
    }

    void confirmed(Station& s) {
        const auto now = Clock::now();
        result_.transferMs.push_back(
            std::chrono::duration<double, std::milli>(now - s.transferStart).count());
        ++result_.transfers;
        result_.rows += s.work->transfers[s.next].rows;
        ++s.next;
        s.failures = 0;
        const bool periodic = plan_.periodSeconds > 0;
        if (!periodic && s.next < s.work->transfers.size()) return send(s, Step::Insert);
        result_.runMs.push_back(
            std::chrono::duration<double, std::milli>(now - s.runStart).count());
        ++result_.runs;
        closeConnection(s);
        if (s.next == s.work->transfers.size()) return finish(s, true);
        if (!periodic) return;
        // The agent's timer: beats that fell due during the run make one
        // run at once; the next follows on the original beat.
        const auto period =
            std::chrono::duration_cast<Clock::duration>(Seconds(plan_.periodSeconds));
        auto beatAt = [&](std::int64_t k) { return start_ + s.phase + k * period; };
        ++s.beat;
        while (beatAt(s.beat + 1) <= now) ++s.beat;
        const auto at = std::max(now, beatAt(s.beat));
        if (secondsSinceStart(at) >= plan_.durationSeconds) return finish(s, false);
        due_.push({at, s.index});
    }

    // A failed call ends the run; the transfer is tried again later.
    void fail(Station& s, const std::string& why, bool busy, double retryAfter) {
        closeConnection(s);
        if (busy) {
            ++result_.busy;
        } else {
            ++result_.errors;
            if (result_.errorSamples.size() < kErrorSamples) {
                result_.errorSamples.push_back(s.work->id.store + "/" + s.work->id.station + ": " +
                                               why);
            }
            retryAfter = plan_.retrySeconds;
        }
        if (++s.failures >= plan_.maxAttempts) {
            ++result_.gaveUp;
            return finish(s, false);
        }
        due_.push({Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(retryAfter)),
                   s.index});
    }

    void finish(Station& s, bool synced) {
        if (s.finished) return;
        s.finished = true;
        last_ = Clock::now();
        if (synced) result_.syncedAtSeconds.push_back(secondsSinceStart(last_));
        --unfinished_;
    }

    void closeConnection(Station& s) {
        if (s.fd >= 0) ::close(s.fd);  // also leaves the epoll set
        s.fd = -1;
        s.step = Step::Idle;
        s.in.clear();
    }

    const DateCalls& dates_;
    const FleetPlan& plan_;
    std::mt19937_64 random_;
    std::vector<Station> stations_;
    std::size_t unfinished_ = stations_.size();
    int epoll_ = -1;
    using Due = std::pair<Clock::time_point, std::size_t>;
    std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;
    Clock::time_point start_, last_;
    FleetResult result_;
};

}  // namespace

FleetResult runFleet(std::vector<StationWork>& stations, const DateCalls& dates,
                     const FleetPlan& plan) {
    raiseDescriptorLimit();
    Fleet fleet(stations, dates, plan);
    return fleet.run();
}

double quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0;
    const auto at = static_cast<std::size_t>(q * static_cast<double>(sorted.size()));
    return sorted[std::min(sorted.size() - 1, at)];
}

}  // namespace qel::chain
