#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "memory_budget.h"
#include "protocol/codec.h"

namespace qel::server {

// A transfer sends its packet array twice in a row, byte for byte the same:
// with setInsereServidor and then with getVerificaExportacao. This keeps the
// arrays the last few inserts decoded, keyed by their exact bytes, so that
// the verification does not inflate the same rows into memory again. Nothing
// an answer says depends on it: a verification whose array is not held (it
// went to another server, or was pushed out) decodes its own, and a held
// array is only used for bytes equal to those it was decoded from.
//
// Each array held takes its bytes and decoded memory from the shared budget
// and gives them back when it is used or pushed out; an array the budget
// cannot hold is not kept, and a call the budget cannot hold clears them
// all first. Safe to use from several threads at once.
class PacketArrayCache {
  public:
    explicit PacketArrayCache(MemoryBudget& budget, std::size_t maxEntries = 4)
        : budget_(budget), maxEntries_(maxEntries) {}
    ~PacketArrayCache();
    PacketArrayCache(const PacketArrayCache&) = delete;
    PacketArrayCache& operator=(const PacketArrayCache&) = delete;

    // Keeps the value decoded from the bytes of `message` from `offset` to
    // its end (the message is kept rather than copied), pushing out the
    // oldest arrays past the entry count or for want of budget.
    void keep(std::string&& message, std::size_t offset, const protocol::DecodedValue& decoded);
    // Hands over, and forgets, the value decoded from exactly these bytes.
    std::optional<protocol::DecodedValue> take(std::span<const std::uint8_t> bytes);

    // Forgets every array, giving their shares back: calls come first when
    // the budget cannot hold one.
    void clear();

    std::size_t size() const;

  private:
    struct Entry {
        std::string message;
        std::size_t offset;
        protocol::DecodedValue decoded;
        std::size_t share;  // taken from the budget
    };
    void drop(std::list<Entry>::iterator e);  // REQUIRES: mutex_ held

    MemoryBudget& budget_;
    const std::size_t maxEntries_;
    mutable std::mutex mutex_;
    std::list<Entry> entries_;  // newest first
};

}  // namespace qel::server
