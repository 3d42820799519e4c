#include "key_digest.h"

#include <openssl/sha.h>

#include "core/error.h"

namespace qel::server {

KeyDigest keyDigest(std::span<const std::uint8_t> key) {
    static_assert(std::tuple_size_v<KeyDigest> == SHA256_DIGEST_LENGTH);
    KeyDigest out{};
    // The one-shot form: no context to allocate for each of a call's keys.
    if (!SHA256(key.data(), key.size(), out.data())) {
        throw Error("Cannot compute the SHA-256 of a row key");
    }
    return out;
}

namespace {

void digestFunction(sqlite3_context* context, int, sqlite3_value** args) {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_value_blob(args[0]));
    const auto size = static_cast<std::size_t>(sqlite3_value_bytes(args[0]));
    try {
        const KeyDigest d = keyDigest({data, size});
        sqlite3_result_blob(context, d.data(), static_cast<int>(d.size()), SQLITE_TRANSIENT);
    } catch (const std::exception& e) {
        sqlite3_result_error(context, e.what(), -1);
    }
}

}  // namespace

void registerKeyDigest(sqlite3* db) {
    if (sqlite3_create_function_v2(db, "qel_key_digest", 1,
                                   SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                   digestFunction, nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw DatabaseError(std::string("Central store: ") + sqlite3_errmsg(db));
    }
}

}  // namespace qel::server
