#include "connection_room.h"

#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace qel::server {

ConnectionRoom::ConnectionRoom(std::size_t cap, std::size_t perAddress)
    : cap_(std::max<std::size_t>(cap, 1)), perAddress_(std::max<std::size_t>(perAddress, 1)) {}

bool ConnectionRoom::makeRoom(const std::string& address, std::size_t open) {
    std::vector<Close> closes;
    bool room = true;
    {
        std::lock_guard lock(mutex_);
        const auto mine = waitingAt_.find(address);
        std::size_t count = mine == waitingAt_.end() ? 0 : mine->second;
        for (auto at = waiting_.begin(); count >= perAddress_ && at != waiting_.end();) {
            const auto next = std::next(at);
            if ((*at)->address == address) {
                evict(at, closes);
                --count;
            }
            at = next;
        }
        // Closed connections count until their sockets are closed, which
        // their own executors do next; the newcomer is admitted meanwhile.
        open -= std::min(open, closes.size());
        while (open >= cap_ && !waiting_.empty()) {
            evict(waiting_.begin(), closes);
            --open;
        }
        room = open < cap_;
    }
    for (const Close& close : closes) close();
    return room;
}

ConnectionRoom::Ticket ConnectionRoom::enter(const std::string& address, Close close) {
    auto ticket = std::make_shared<Waiting>();
    ticket->address = address;
    ticket->close = std::move(close);
    std::lock_guard lock(mutex_);
    ticket->at = waiting_.insert(waiting_.end(), ticket);
    ticket->listed = true;
    ++waitingAt_[address];
    return ticket;
}

void ConnectionRoom::leave(const Ticket& ticket) {
    if (!ticket) return;
    std::lock_guard lock(mutex_);
    if (!ticket->listed) return;
    ticket->listed = false;
    const auto count = waitingAt_.find(ticket->address);
    if (--count->second == 0) waitingAt_.erase(count);
    waiting_.erase(ticket->at);
}

std::size_t ConnectionRoom::waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

void ConnectionRoom::evict(std::list<Ticket>::iterator at, std::vector<Close>& closes) {
    const Ticket ticket = *at;
    ticket->listed = false;
    const auto count = waitingAt_.find(ticket->address);
    if (--count->second == 0) waitingAt_.erase(count);
    waiting_.erase(at);
    if (ticket->close) closes.push_back(std::move(ticket->close));
}

std::size_t connectionCap(std::size_t wanted, std::size_t limit, std::size_t inUse) {
    // The store's database and journal files, PostgreSQL connections, the
    // listening socket, the log and what a call opens while it runs.
    constexpr std::size_t kKept = 64;
    const std::size_t available = limit > inUse + kKept ? limit - inUse - kKept : 0;
    return std::max<std::size_t>(std::min(wanted, available), 16);
}

std::size_t raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    return descriptorLimit();
}

std::size_t descriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    return limit.rlim_cur == RLIM_INFINITY ? std::size_t{1} << 20
                                           : static_cast<std::size_t>(limit.rlim_cur);
}

std::size_t openDescriptors() {
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++n;
    }
    return n;
}

}  // namespace qel::server
