#include "packet_array_cache.h"

#include <cstring>

namespace qel::server {
namespace {

// Arrays are compared whole: equal sizes are rare enough that the compare
// is cheaper than hashing every array received.
bool sameBytes(const std::string& message, std::size_t offset,
               std::span<const std::uint8_t> bytes) {
    return message.size() - offset == bytes.size() &&
           std::memcmp(message.data() + offset, bytes.data(), bytes.size()) == 0;
}

}  // namespace

PacketArrayCache::~PacketArrayCache() {
    clear();
}

void PacketArrayCache::keep(std::string&& message, std::size_t offset,
                            const protocol::DecodedValue& decoded) {
    // A call waiting for memory comes first.
    if (maxEntries_ == 0 || offset >= message.size() || budget_.hasWaiters()) return;
    const std::span<const std::uint8_t> bytes(
        reinterpret_cast<const std::uint8_t*>(message.data()) + offset, message.size() - offset);
    const std::size_t share = message.size() + decoded.memory;
    std::lock_guard lock(mutex_);
    // The same array again (an insert sent twice) replaces its older copy.
    for (auto e = entries_.begin(); e != entries_.end(); ++e) {
        if (sameBytes(e->message, e->offset, bytes)) {
            drop(e);
            break;
        }
    }
    while (entries_.size() >= maxEntries_) drop(std::prev(entries_.end()));
    // The newest array is the likeliest to be verified next: older ones
    // make room for it, and none is kept where calls already hold the budget.
    while (!budget_.take(share)) {
        if (entries_.empty()) return;
        drop(std::prev(entries_.end()));
    }
    entries_.push_front(Entry{std::move(message), offset, decoded, share});
}

std::optional<protocol::DecodedValue> PacketArrayCache::take(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    std::lock_guard lock(mutex_);
    for (auto e = entries_.begin(); e != entries_.end(); ++e) {
        if (sameBytes(e->message, e->offset, bytes)) {
            protocol::DecodedValue found = std::move(e->decoded);
            drop(e);
            return found;
        }
    }
    return std::nullopt;
}

void PacketArrayCache::clear() {
    std::lock_guard lock(mutex_);
    while (!entries_.empty()) drop(entries_.begin());
}

std::size_t PacketArrayCache::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void PacketArrayCache::drop(std::list<Entry>::iterator e) {
    budget_.give(e->share);
    entries_.erase(e);
}

}  // namespace qel::server
