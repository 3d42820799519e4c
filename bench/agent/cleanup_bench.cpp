// qelexp-cleanup-bench: the local database cleanup on simulated stations,
// with a point-of-sale writer adding sales at the same time.
//   busy day: one old day of 2,000 sales (with their items, taxes,
//             payments...) among younger days is deleted;
//   backlog:  100,000 expired sales are deleted in one cleanup.
// Prints how long the cleanup held its write transaction (from the run
// log's timestamps), its slowest statements, the whole cleanup's time, and
// the writer's longest wait for the database (BEGIN IMMEDIATE) and longest
// transaction while the cleanup ran. Figures only; nothing is asserted.
//   qelexp-cleanup-bench [busy|backlog|all] [--writer-interval-ms N]

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_station.h"
#include "simulator/appender.h"
#include "simulator/writer.h"

namespace {

using Steady = std::chrono::steady_clock;
using qel::DateTime;

double ms(Steady::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// CPU time of the calling thread: the agent's work, whatever else the
// machine is doing.
double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Scenario {
    const char* name;
    int days;
    int salesPerDay;
    const char* startDate;
    DateTime now;
    const char* retention;
};

struct Timed {
    Steady::time_point at;
    std::string line;
};

// The point-of-sale program: one short BEGIN IMMEDIATE ... COMMIT per sale.
class Writer {
  public:
    Writer(const std::string& path, std::chrono::milliseconds interval)
        : db_(path), thread_([this, interval] { run(interval); }) {}
    ~Writer() {
        stop_ = true;
        thread_.join();
    }
    struct Sample {
        Steady::time_point start;
        double beginMs;
        double totalMs;
    };
    std::vector<Sample> samples() {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    int refused() const { return refused_; }

  private:
    void run(std::chrono::milliseconds interval) {
        namespace sim = qel::simulator;
        sim::Writer w(db_.get());
        sim::detail::Counters counters = sim::detail::loadCounters(db_.get());
        sim::detail::SaleAppender appender(w, counters, "0001", "001", 99);
        while (!stop_) {
            const auto t0 = Steady::now();
            try {
                sim::execute(db_.get(), "BEGIN IMMEDIATE");
            } catch (const std::exception&) {
                // Gave up after its busy timeout: a sale the till could not write.
                std::lock_guard lock(mutex_);
                samples_.push_back({t0, ms(Steady::now() - t0), ms(Steady::now() - t0)});
                ++refused_;
                continue;
            }
            const auto t1 = Steady::now();
            appender.append(sim::localNow());
            sim::execute(db_.get(), "COMMIT");
            const auto t2 = Steady::now();
            {
                std::lock_guard lock(mutex_);
                samples_.push_back({t0, ms(t1 - t0), ms(t2 - t0)});
            }
            std::this_thread::sleep_for(interval);
        }
    }
    qel::simulator::Database db_;
    std::atomic<bool> stop_{false};
    std::atomic<int> refused_{0};
    std::mutex mutex_;
    std::vector<Sample> samples_;
    std::thread thread_;
};

void runScenario(const Scenario& s, std::chrono::milliseconds writerInterval) {
    qel::bench::TempFolder folder("qel_cleanup_bench");
    {
        qel::simulator::Options o;
        o.stores = {"0001"};
        o.stations = 1;
        o.days = s.days;
        o.salesPerDay = s.salesPerDay;
        o.startDate = s.startDate;
        o.pendingSales = 50;
        o.seed = 5;
        o.quiet = true;
        qel::simulator::Database db((folder.path() / "QELCAIXA.db").string());
        qel::simulator::fillStation(db.get(), o);
        qel::simulator::execute(db.get(),
                                "UPDATE CAIXA SET IDFREQLIMPVENDA = 'D', NRDIASVENDAMSDE = '" +
                                    std::string(s.retention) + "', NRDIASCONSMSDE = '30'");
        qel::simulator::execute(db.get(), "PRAGMA wal_checkpoint(TRUNCATE)");
    }
    qel::bench::TempFolder work("qel_cleanup_bench_work");
    qel::ManualClock clock(s.now);
    auto platform = qel::platform::createPlatform();
    std::mutex linesMutex;
    std::vector<Timed> lines;
    {
        // The agent, as AgentHarness builds it but with a timed run log.
        std::ofstream(work.path() / "registry.conf")
            << "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
            << "StringConexao = Provider=SQLite;Initial Catalog=QELCAIXA;Data Source="
            << folder.path().string() << "\n";
        ::setenv("QELEXP_REGISTRY", (work.path() / "registry.conf").c_str(), 1);
    }
    qel::bench::LoopbackServer server(work.path() / "central_store.db", clock);
    std::ofstream(work.path() / "registry.conf", std::ios::app)
        << "IPServer = 127.0.0.1:" << server.port() << "\n";
    qel::agent::TdtmExportaVenda dm({clock,
                                     *platform,
                                     [&](std::string_view line) {
                                         std::lock_guard lock(linesMutex);
                                         lines.push_back({Steady::now(), std::string(line)});
                                     },
                                     {},
                                     work.path()});
    dm.run.CDFILIAL = "0001";
    dm.run.CDCAIXA = "001";
    const auto sales = [&] {
        return dm.adcCaixa.query("SELECT COUNT(*) FROM VENDA").field(std::size_t{0}).asInteger();
    };
    const std::int64_t before = sales();
    if (!dm.net.ConectaServidor(true, "no server")) {
        std::fprintf(stderr, "no server\n");
        std::exit(1);
    }

    Steady::time_point started, finished;
    double cleanupCpuMs = 0;
    std::vector<Writer::Sample> samples;
    int refused = 0;
    {
        Writer writer((folder.path() / "QELCAIXA.db").string(), writerInterval);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        started = Steady::now();
        const double cpu0 = threadCpuMs();
        dm.LimpaBaseDeDados();
        cleanupCpuMs = threadCpuMs() - cpu0;
        finished = Steady::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        samples = writer.samples();
        refused = writer.refused();
    }
    dm.net.netInsereServidor.close();
    const std::int64_t after = sales();

    // The transaction runs from the end of the first row-count block to the
    // commit, just before the second block's count query; that query is
    // timed again afterwards and taken off.
    const std::string stars(36, '*');
    std::vector<std::size_t> starLines;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].line == stars) starLines.push_back(i);
    }
    double hold = -1;
    std::vector<std::pair<double, std::string>> statements;
    bool failed = false;
    for (const auto& l : lines) failed = failed || l.line.rfind("ERRO", 0) == 0;
    if (starLines.size() >= 3) {
        const auto t0 = Steady::now();
        dm.geraLogQuantidadeTabelas();
        const double countMs = ms(Steady::now() - t0);
        // Before the consumer block (its own 36 stars) the second count starts
        // at the last block's first line.
        const std::size_t secondBlock = starLines[starLines.size() - 2];
        hold = ms(lines[secondBlock].at - lines[starLines[1]].at) - countMs;
        for (std::size_t i = starLines[1] + 1; i < secondBlock; ++i) {
            if (lines[i].line.rfind("Executou", 0) == 0) {
                statements.push_back({ms(lines[i].at - lines[i - 1].at), lines[i].line});
            }
        }
    }
    std::sort(statements.rbegin(), statements.rend());

    double maxBegin = 0, maxTotal = 0;
    std::vector<double> outside;
    int during = 0;
    for (const auto& sample : samples) {
        if (sample.start >= started && sample.start <= finished) {
            ++during;
            maxBegin = std::max(maxBegin, sample.beginMs);
            maxTotal = std::max(maxTotal, sample.totalMs);
        } else {
            outside.push_back(sample.totalMs);
        }
    }
    std::sort(outside.begin(), outside.end());
    std::printf("== %s: %lld sales before, %lld deleted%s\n", s.name,
                static_cast<long long>(before), static_cast<long long>(before - after),
                failed ? " (THE CLEANUP FAILED, see below)" : "");
    std::printf(
        "   whole cleanup %.0f ms (%.0f ms CPU on the agent's thread); write transaction held "
        "about %.0f ms\n",
        ms(finished - started), cleanupCpuMs, hold);
    for (std::size_t i = 0; i < std::min<std::size_t>(8, statements.size()); ++i) {
        std::printf("   %8.1f ms  %s\n", statements[i].first, statements[i].second.c_str());
    }
    const std::string usual =
        outside.empty() ? std::string("no sale outside it")
                        : "median sale otherwise " +
                              std::to_string(outside[outside.size() / 2]).substr(0, 5) + " ms";
    std::printf(
        "   writer: %d sales during the cleanup; longest wait for the lock %.0f ms, longest "
        "sale %.0f ms (%s); %d gave up after the 10 s busy timeout\n",
        during, maxBegin, maxTotal, usual.c_str(), refused);
    if (failed) {
        for (const auto& l : lines) {
            if (l.line.rfind("ERRO", 0) == 0) std::printf("   %s\n", l.line.c_str());
        }
    }
    ::unsetenv("QELEXP_REGISTRY");
}

}  // namespace

int main(int argc, char** argv) {
    std::string which = "all";
    int interval = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--writer-interval-ms" && i + 1 < argc) {
            interval = std::atoi(argv[++i]);
        } else {
            which = a;
        }
    }
    const auto writerInterval = std::chrono::milliseconds(interval);
    // Retention 30 days at 10:00 on 2 December: the cut-off rounds to the
    // midnight of 2 November, so only 1 November goes.
    const Scenario busy{"busy day (1 of 3 days of 2,000 sales)",       3,   2000, "2026-11-01",
                        DateTime::fromDateTime(2026, 12, 2, 10, 0, 0), "30"};
    // Retention 12 days: the cut-off is 20 November; 50 days of 2,000 go.
    const Scenario backlog{"backlog (50 of 52 days of 2,000 sales)",      52,  2000, "2026-10-01",
                           DateTime::fromDateTime(2026, 12, 2, 10, 0, 0), "12"};
    if (which == "busy" || which == "all") runScenario(busy, writerInterval);
    if (which == "backlog" || which == "all") runScenario(backlog, writerInterval);
    return 0;
}
