#include "central_copies.h"

#include <ctime>
#include <fstream>

#include "core/error.h"
#include "station_backups.h"

namespace qel::chaos {
namespace {

namespace fs = std::filesystem;

class SqliteCentralFiles : public CentralStoreFiles {
  public:
    SqliteCentralFiles(fs::path database, fs::path keep)
        : database_(std::move(database)), keep_(std::move(keep)) {}

    void copyTo(const fs::path& file) override { copyDatabase(database_, file); }

    std::string replaceWith(const fs::path& file, int n) override {
        // The store as the restore found it, its write-ahead log included.
        const fs::path kept = keep_ / (std::to_string(n) + ".db");
        copyDatabase(database_, kept);
        restoreDatabase(database_, file);
        return kept.string();
    }

  private:
    fs::path database_, keep_;
};

class PostgresCentralFiles : public CentralStoreFiles {
  public:
    PostgresCentralFiles(std::string uri, fs::path binaries)
        : uri_(std::move(uri)), binaries_(std::move(binaries)) {
        const auto slash = uri_.rfind('/');
        if (slash == std::string::npos || slash + 1 == uri_.size())
            throw Error("no database in " + uri_);
        server_ = uri_.substr(0, slash + 1);
        name_ = uri_.substr(slash + 1);
    }

    void copyTo(const fs::path& file) override {
        fs::create_directories(file.parent_path());
        run({"pg_dump", "--format=custom", "--file=" + file.string(), "--dbname=" + uri_},
            file.parent_path());
    }

    std::string replaceWith(const fs::path& file, int n) override {
        // The server is stopped, so no session holds the database: it is
        // kept under another name, and the copy restored into a new one.
        const std::string kept = name_ + "_replaced_" + std::to_string(n);
        sql("ALTER DATABASE " + name_ + " RENAME TO " + kept, file.parent_path());
        sql("CREATE DATABASE " + name_, file.parent_path());
        run({"pg_restore", "--exit-on-error", "--no-owner", "--dbname=" + uri_, file.string()},
            file.parent_path());
        return server_ + kept;
    }

  private:
    void sql(const std::string& statement, const fs::path& folder) {
        run({"psql", "--no-psqlrc", "--quiet", "-v", "ON_ERROR_STOP=1",
             "--dbname=" + server_ + "postgres", "--command=" + statement},
            folder);
    }

    void run(std::vector<std::string> argv, const fs::path& folder) {
        argv[0] = (binaries_ / argv[0]).string();
        const fs::path output = folder / "central-restore.log";
        const pid_t pid = processes_.spawn(argv, folder, {}, output);
        const auto status = processes_.waitFor(pid, std::chrono::minutes(10));
        if (!status || status->signaled || status->code != 0) {
            throw Error(fs::path(argv[0]).filename().string() + " failed (see " + output.string() +
                        ")");
        }
    }

    std::string uri_, server_, name_;
    fs::path binaries_;
    Processes processes_;
};

}  // namespace

std::unique_ptr<CentralStoreFiles> sqliteCentralFiles(fs::path database, fs::path keep) {
    return std::make_unique<SqliteCentralFiles>(std::move(database), std::move(keep));
}

std::unique_ptr<CentralStoreFiles> postgresCentralFiles(std::string uri, fs::path binaries) {
    return std::make_unique<PostgresCentralFiles>(std::move(uri), std::move(binaries));
}

CentralBackups::CentralBackups(CentralStoreFiles& store, fs::path folder,
                               std::chrono::seconds every, std::size_t keep)
    : store_(store), folder_(std::move(folder)), keep_(keep) {
    fs::create_directories(folder_);
    if (every.count() <= 0) return;
    thread_ = std::thread([this, every] {
        auto due = Steady::now();
        while (!stop_) {
            if (Steady::now() >= due) {
                take();
                due += every;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
}

CentralBackups::~CentralBackups() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool CentralBackups::take() {
    std::lock_guard busy(busy_);
    const fs::path file = folder_ / ("central-" + std::to_string(++next_) + ".copy");
    try {
        store_.copyTo(file);
    } catch (const std::exception&) {
        // The store's disk is full or its server down: no copy this round.
        std::error_code ec;
        fs::remove(file, ec);
        return false;
    }
    std::lock_guard lock(mutex_);
    taken_.push_back({Steady::now(), file});
    while (taken_.size() > keep_) {
        std::error_code ec;
        fs::remove(taken_.front().file, ec);
        taken_.pop_front();
    }
    return true;
}

std::optional<std::string> CentralBackups::restore(std::chrono::seconds age, ServerControl& server,
                                                   const std::vector<StationFolder>& stations) {
    std::lock_guard busy(busy_);
    std::optional<fs::path> copy;
    {
        std::lock_guard lock(mutex_);
        const auto now = Steady::now();
        auto bestGap = Steady::duration::max();
        for (const Taken& t : taken_) {
            const auto gap = now - t.at > age ? (now - t.at) - age : age - (now - t.at);
            if (gap < bestGap) bestGap = gap, copy = t.file;
        }
    }
    if (!copy) return std::nullopt;
    server.stop();
    std::string kept;
    try {
        kept = store_.replaceWith(*copy, static_cast<int>(replaced().size()) + 1);
    } catch (...) {
        server.start();
        throw;
    }
    {
        std::lock_guard lock(mutex_);
        replaced_.push_back(kept);
    }
    // While the server is down no agent reconciles, so none writes its
    // record again before its next export run meets the restored store.
    for (const StationFolder& s : stations) {
        for (const fs::path& record : reconciliationRecords(s)) {
            std::error_code ec;
            fs::remove(record, ec);
        }
    }
    server.start();
    return kept;
}

std::vector<std::string> CentralBackups::replaced() const {
    std::lock_guard lock(mutex_);
    return replaced_;
}

std::vector<fs::path> reconciliationRecords(const StationFolder& station) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(station.folder / "Dados", ec)) {
        if (entry.path().filename().string().starts_with("Reconciliacao_"))
            out.push_back(entry.path());
    }
    return out;
}

bool reconciledToday(const StationFolder& station) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof today, "%d/%m/%Y", &local);
    for (const fs::path& record : reconciliationRecords(station)) {
        std::string day;
        std::ifstream in(record);
        std::getline(in, day);
        if (day == today) return true;
    }
    return false;
}

}  // namespace qel::chaos
