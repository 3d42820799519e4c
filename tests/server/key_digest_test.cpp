#include "key_digest.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using qel::server::KeyDigest;

std::string hex(const KeyDigest& d) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : d) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

KeyDigest digestOf(const std::string& text) {
    return qel::server::keyDigest(
        {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

const std::string kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

}  // namespace

// The stores keep these digests: each call is the SHA-256 of its own bytes
// only, on every thread, however many calls came before.
TEST(KeyDigest, IsTheSha256OfEachKeyAloneOnEveryThread) {
    EXPECT_EQ(hex(digestOf("")), kEmpty);
    EXPECT_EQ(hex(digestOf("abc")), kAbc);
    EXPECT_EQ(hex(digestOf("")), kEmpty);
    const std::string longKey(100'000, 'k');
    const KeyDigest longDigest = digestOf(longKey);
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                if (hex(digestOf("abc")) != kAbc || digestOf(longKey) != longDigest ||
                    hex(digestOf("")) != kEmpty) {
                    ++wrong[t];
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(KeyDigest, TheSqlFunctionGivesTheSameDigest) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    qel::server::registerKeyDigest(db);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(db, "SELECT qel_key_digest(CAST('abc' AS BLOB))", -1, &stmt, nullptr),
        SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    ASSERT_EQ(sqlite3_column_bytes(stmt, 0), 32);
    KeyDigest d{};
    std::memcpy(d.data(), sqlite3_column_blob(stmt, 0), d.size());
    EXPECT_EQ(hex(d), kAbc);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}
