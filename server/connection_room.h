#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace qel::server {

// The connections that have not yet sent an accepted request head: idle
// ones, slow ones, and those whose credential has not been seen yet. They
// cost a descriptor each, so they are held to a share per peer address and
// to what is left of the connection cap; when a new connection needs room
// the oldest of them is closed rather than the newcomer, so that a station
// connecting to call is served however many such connections others hold.
// A connection that has been served is never closed to make room.
// Safe to use from several threads at once.
class ConnectionRoom {
  public:
    // Closes a waiting connection; called without the room's lock held.
    using Close = std::function<void()>;
    struct Waiting;
    using Ticket = std::shared_ptr<Waiting>;

    // `cap`: connections the server holds at once; `perAddress`: waiting
    // connections one address may hold.
    ConnectionRoom(std::size_t cap, std::size_t perAddress);

    // Makes room for a new connection from `address` while `open`
    // connections are open: closes the oldest waiting connections of that
    // address beyond its share, then the oldest of all while the cap would be
    // passed. False when the cap is reached and no connection waits: the
    // newcomer is to be refused.
    bool makeRoom(const std::string& address, std::size_t open);

    // Counts a connection as waiting until it leaves or is closed to make room.
    Ticket enter(const std::string& address, Close close);
    // The connection was served or is gone; no effect when it already left.
    void leave(const Ticket& ticket);

    std::size_t cap() const { return cap_; }
    std::size_t perAddress() const { return perAddress_; }
    std::size_t waiting() const;

  private:
    void evict(std::list<Ticket>::iterator at, std::vector<Close>& closes);  // REQUIRES: mutex_

    const std::size_t cap_;
    const std::size_t perAddress_;
    mutable std::mutex mutex_;
    std::list<Ticket> waiting_;  // oldest first
    std::unordered_map<std::string, std::size_t> waitingAt_;
};

struct ConnectionRoom::Waiting {
    std::string address;
    Close close;
    std::list<Ticket>::iterator at;
    bool listed = false;
};

// The connections a server can hold with `descriptorLimit` descriptors when
// `inUse` are taken already: `wanted`, or fewer when descriptors are short,
// keeping some for the central store, its files and the log; at least 16.
std::size_t connectionCap(std::size_t wanted, std::size_t descriptorLimit, std::size_t inUse);

// Raises this process's soft limit of open descriptors to its hard limit,
// since the server holds one per connection; answers the soft limit now.
std::size_t raiseDescriptorLimit();

// The soft limit of open descriptors, and how many this process has open.
std::size_t descriptorLimit();
std::size_t openDescriptors();

}  // namespace qel::server
