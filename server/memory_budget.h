#pragma once

#include <atomic>
#include <cstddef>

namespace qel::server {

// Memory shared by the requests being read, unpacked and decoded at once.
// Each request reserves what it is about to hold and gives it back when it
// is answered, so hostile or merely simultaneous large requests are refused
// (503) instead of taking the process past its bound.
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
    void give(std::size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }

    std::size_t capacity() const { return capacity_; }
    std::size_t used() const { return used_.load(std::memory_order_relaxed); }

  private:
    const std::size_t capacity_;
    std::atomic<std::size_t> used_{0};
};

// One request's share of the budget: grows to what the request holds, never
// shrinks until released (destruction gives it all back).
class Reservation {
  public:
    Reservation() = default;
    explicit Reservation(MemoryBudget& budget) : budget_(&budget) {}
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    ~Reservation() { release(); }

    // Raises the share to `total` bytes; false when the budget cannot give it.
    bool growTo(std::size_t total) {
        if (!budget_ || total <= held_) return true;
        if (!budget_->take(total - held_)) return false;
        held_ = total;
        return true;
    }
    void release() {
        if (budget_ && held_) budget_->give(held_);
        held_ = 0;
    }
    std::size_t held() const { return held_; }

  private:
    MemoryBudget* budget_ = nullptr;
    std::size_t held_ = 0;
};

}  // namespace qel::server
