#include "key_digest.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "core/error.h"

namespace qel::server {
namespace {

// The one-shot SHA256() looks the algorithm up and makes a context for every
// call, several times the cost of hashing a key of a few dozen bytes: each
// thread keeps one context, with the algorithm looked up once.
class Sha256 {
  public:
    Sha256() : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)), ctx_(EVP_MD_CTX_new()) {}
    ~Sha256() {
        EVP_MD_CTX_free(ctx_);
        EVP_MD_free(md_);
    }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    bool digest(std::span<const std::uint8_t> data, KeyDigest& out) {
        unsigned int size = 0;
        return md_ != nullptr && ctx_ != nullptr && EVP_DigestInit_ex(ctx_, md_, nullptr) == 1 &&
               EVP_DigestUpdate(ctx_, data.data(), data.size()) == 1 &&
               EVP_DigestFinal_ex(ctx_, out.data(), &size) == 1 && size == out.size();
    }

  private:
    EVP_MD* md_;
    EVP_MD_CTX* ctx_;
};

}  // namespace

KeyDigest keyDigest(std::span<const std::uint8_t> key) {
    static_assert(std::tuple_size_v<KeyDigest> == SHA256_DIGEST_LENGTH);
    thread_local Sha256 sha;
    KeyDigest out{};
    if (!sha.digest(key, out)) throw Error("Cannot compute the SHA-256 of a row key");
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
