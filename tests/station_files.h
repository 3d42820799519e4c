#pragma once

// A test station's files as the tests reach them from outside the agent:
// its folder, its SQLite databases, the registry file pointing the agent at
// them and the run log the agent writes there.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
#include "platform/platform.h"
#include "test_registry.h"

namespace qel::testing {

// A fresh, empty folder for the running test, named by `prefix`, this
// process and the test, so parallel test processes never share one.
inline std::filesystem::path freshTestFolder(const std::string& prefix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        (prefix + std::to_string(platform::createPlatform()->currentProcessId()) + "_" +
         info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// Runs an SQL script on a SQLite file (created when missing).
inline void runSql(const std::filesystem::path& file, std::string_view script) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.string().c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, std::string(script).c_str(), nullptr, nullptr, &error);
    const std::string message = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
}

// The first column of every row of `sql`, joined by "|"; "error: ..." when
// the statement does not prepare. Waits for a writer in another process.
inline std::string queryText(const std::filesystem::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open(file.string().c_str(), &db) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 30'000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                if (!out.empty()) out += "|";
                const auto* t = sqlite3_column_text(st, 0);
                out += t ? reinterpret_cast<const char*>(t) : "NULL";
            }
        } else {
            out = std::string("error: ") + sqlite3_errmsg(db);
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

// The connection string of the SQLite station "QELCAIXA" in `dir`.
inline std::string sqliteStationConnection(const std::filesystem::path& dir) {
    return "Provider=SQLite;Initial Catalog=QELCAIXA;Data Source=" + dir.string();
}

// Writes `dir`/registry.conf pointing the agent at the SQLite station in
// `dir`, with `extra` "name = value" lines, and makes it the registry.
inline void writeStationRegistry(const std::filesystem::path& dir, const std::string& extra = {}) {
    std::ofstream(dir / "registry.conf")
        << "[HKEY_LOCAL_MACHINE\\Software\\MORADEX\\Sistemas Integrados Moradex\\Orbel]\n"
        << "StringConexao = " << sqliteStationConnection(dir) << "\n"
        << extra;
    useRegistryFile(dir / "registry.conf");
}

// The lines of a run-log file in UTF-8, without their date-time prefix.
inline std::vector<std::string> runLogLines(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::vector<std::string> lines;
    std::istringstream all(text::cp1252ToUtf8(s.str()));
    for (std::string line; std::getline(all, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto sep = line.find(" - ");
        lines.push_back(sep == std::string::npos ? line : line.substr(sep + 3));
    }
    return lines;
}

}  // namespace qel::testing
