#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <span>

namespace qel::server {

// The SHA-256 of a central row key. The stores index rows by this digest
// instead of by the key itself, so that a key of any length (a row without a
// local key is identified by its whole content) costs the index 32 bytes.
using KeyDigest = std::array<std::uint8_t, 32>;
KeyDigest keyDigest(std::span<const std::uint8_t> key);

// Registers qel_key_digest(blob) on a SQLite connection: the same digest, for
// statements and for migrating files that keyed rows by the key itself.
void registerKeyDigest(sqlite3* db);

}  // namespace qel::server
