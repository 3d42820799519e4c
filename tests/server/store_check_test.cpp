// The server refuses a --db that is not a central store.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "central_store.h"
#include "core/error.h"
#include "store_check.h"

namespace qel::testing {
namespace {

TEST(StoreCheck, OnlyACentralStoreOrAnEmptyFileIsAccepted) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("qel_store_check_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto missing = folder / "missing.db", empty = folder / "empty.db",
               central = folder / "central.db", station = folder / "station.db",
               text = folder / "notes.txt";
    std::ofstream(empty).close();
    server::openSqliteStore(central).reset();
    sqlite3* db = nullptr;
    sqlite3_open(station.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE VENDA (CDFILIAL TEXT, NRSEQVENDA INTEGER)", nullptr, nullptr,
                 nullptr);
    sqlite3_close(db);
    std::ofstream(text) << "not a database at all, but long enough to be read as one...........";

    EXPECT_NO_THROW(server::requireCentralStoreOrEmpty(missing));
    EXPECT_NO_THROW(server::requireCentralStoreOrEmpty(empty));
    EXPECT_NO_THROW(server::requireCentralStoreOrEmpty(central));
    EXPECT_THROW(server::requireCentralStoreOrEmpty(station), ConfigError);
    EXPECT_THROW(server::requireCentralStoreOrEmpty(text), ConfigError);
    EXPECT_FALSE(std::filesystem::exists(missing));  // checking creates nothing
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace qel::testing
