#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>

namespace qel::server {

// The shared budget cannot hold what a call is about to hold: the call stops
// and answers 503. Passes through every handler of the call's own failures.
struct MemoryBudgetExceeded {};

// Memory the allocator spends on each heap block beyond the bytes asked for
// (its header and rounding), counted by the estimates of what a call holds.
inline constexpr std::size_t kHeapBlockOverhead = 16;

// Memory shared by the calls being read, decoded, run and answered at once.
// Each call reserves what it is about to hold and gives it back when it is
// answered, so hostile or merely simultaneous large requests are refused
// (503) instead of taking the process past its bound.
//
// Calls admitted together may each need more as they run. So that they do
// not all fail for want of what the others hold, the eldest of them (the
// first admitted still holding a share) may wait for the others' shares
// while the others fail at once and give theirs back.
class MemoryBudget {
  public:
    explicit MemoryBudget(std::size_t capacity) : capacity_(capacity) {}

    // Takes `bytes` from the budget; false (nothing taken) when it would overflow.
    bool take(std::size_t bytes) {
        std::size_t used = used_.load(std::memory_order_relaxed);
        do {
            if (bytes > capacity_ || used > capacity_ - bytes) return false;
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        return true;
    }
    void give(std::size_t bytes) {
        used_.fetch_sub(bytes, std::memory_order_relaxed);
        if (waiting_.load() > 0) {
            std::lock_guard lock(mutex_);
            freed_.notify_all();
        }
    }

    std::size_t capacity() const { return capacity_; }
    std::size_t used() const { return used_.load(std::memory_order_relaxed); }
    // A call waits for memory: shares that are only kept for later (packet
    // arrays) are not taken meanwhile.
    bool hasWaiters() const { return waiting_.load() > 0; }

    // Holders in admission order, for Reservation.
    std::uint64_t enter() {
        std::lock_guard lock(mutex_);
        holders_.insert(++admitted_);
        return admitted_;
    }
    void leave(std::uint64_t holder) {
        std::lock_guard lock(mutex_);
        holders_.erase(holder);
        freed_.notify_all();
    }

    // Takes `bytes` for `holder`, which holds `own` already: at once, or, for
    // the eldest holder only, once others give theirs back, for at most
    // `limit`. False when it cannot: a younger holder, nothing held by others
    // that could come back, or the time is up.
    bool takeAsEldest(std::size_t bytes, std::uint64_t holder, std::size_t own,
                      std::chrono::milliseconds limit) {
        if (take(bytes)) return true;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::unique_lock lock(mutex_);
        ++waiting_;
        bool taken = false;
        while (!(taken = take(bytes))) {
            if (holders_.empty() || *holders_.begin() != holder || used() <= own ||
                freed_.wait_until(lock, deadline) == std::cv_status::timeout) {
                taken = take(bytes);
                break;
            }
        }
        --waiting_;
        return taken;
    }

  private:
    const std::size_t capacity_;
    std::atomic<std::size_t> used_{0};
    std::atomic<int> waiting_{0};
    std::mutex mutex_;
    std::condition_variable freed_;
    std::set<std::uint64_t> holders_;
    std::uint64_t admitted_ = 0;
};

// One call's share of the budget: grows to what the call holds, never
// shrinks until released (destruction gives it all back).
class Reservation {
  public:
    Reservation() = default;
    explicit Reservation(MemoryBudget& budget) : budget_(&budget) {}
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    ~Reservation() { release(); }

    // Raises the share to `total` bytes; false when the budget cannot give
    // it. With a wait limit, the eldest share may wait that long for others
    // to give theirs back (see MemoryBudget); only threads that may block
    // should pass one.
    bool growTo(std::size_t total, std::chrono::milliseconds wait = {}) {
        if (!budget_ || total <= held_) return true;
        const std::size_t more = total - held_;
        const bool taken = holder_ && wait.count() > 0
                               ? budget_->takeAsEldest(more, holder_, held_, wait)
                               : budget_->take(more);
        if (!taken) return false;
        if (!holder_) holder_ = budget_->enter();
        held_ = total;
        return true;
    }
    void release() {
        if (budget_ && held_) budget_->give(held_);
        if (budget_ && holder_) budget_->leave(holder_);
        held_ = 0;
        holder_ = 0;
    }
    std::size_t held() const { return held_; }

  private:
    MemoryBudget* budget_ = nullptr;
    std::size_t held_ = 0;
    std::uint64_t holder_ = 0;
};

}  // namespace qel::server
