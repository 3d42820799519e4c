#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qel::chaos {

// A raw SQLite connection for the checker and the orchestrator: the station
// files and the central store are read (and the shadows installed) without
// the agent's own database layer in the way. Waits up to `busyMs` for locks.
class SqliteFile {
  public:
    SqliteFile(const std::filesystem::path& file, bool readOnly, int busyMs = 60'000);
    ~SqliteFile();
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    sqlite3* get() const { return db_; }
    // Runs statements that return nothing. Throws DatabaseError.
    void execute(const std::string& sql);
    // Runs one statement with text parameters and calls `row` for each result row.
    void query(const std::string& sql, const std::vector<std::string>& params,
               const std::function<void(sqlite3_stmt*)>& row);
    // The first column of the first row as text, or empty.
    std::string scalar(const std::string& sql, const std::vector<std::string>& params = {});

  private:
    sqlite3* db_ = nullptr;
    std::string name_;
};

std::string columnText(sqlite3_stmt* stmt, int column);

}  // namespace qel::chaos
