#pragma once

#include <chrono>
#include <mutex>

#include "core/datetime.h"

namespace qel {

// A reading of a monotonic clock: time from an arbitrary origin, never going
// back. Only the difference of two readings means anything.
using MonotonicTime = std::chrono::time_point<std::chrono::steady_clock, std::chrono::milliseconds>;

// Both readings of one moment: the wall clock for what is logged or stored,
// the monotonic clock for how long ago it was.
struct Moment {
    DateTime wall;
    MonotonicTime monotonic;
};

// Every "now", "today" and sleep of the agent comes from a Clock, so tests
// can run the watchdog, the age rules and the log's day change instantly.
//
// Two kinds of time. The wall clock (now, today) gives the local dates and
// times the agent logs, stores and selects by; it follows the machine's
// clock, which may step back or forward at any moment (a manual correction,
// a time server, the end of daylight saving). The monotonic clock gives how
// long since something happened (timer periods, the watchdog's limits) and
// moves only with the passing of time.
class Clock {
  public:
    virtual ~Clock() = default;
    // Current local date and time.
    virtual DateTime now() const = 0;
    // Current reading of the monotonic clock.
    virtual MonotonicTime monotonicNow() const = 0;
    // Blocks for the duration (a manual clock advances instead).
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;
    DateTime today() const { return now().date(); }
    Moment moment() const { return {now(), monotonicNow()}; }
};

// The machine's local time and its steady clock.
class SystemClock final : public Clock {
  public:
    DateTime now() const override;
    MonotonicTime monotonicNow() const override;
    void sleepFor(std::chrono::milliseconds duration) override;
};

// A clock that moves only when told; a sleep advances it at once.
// Thread-safe: the watchdog thread and the main thread may share it.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(DateTime start = DateTime::fromDateTime(2026, 12, 6, 9, 52, 13))
        : wall_(start) {}
    DateTime now() const override;
    MonotonicTime monotonicNow() const override;
    void sleepFor(std::chrono::milliseconds duration) override;

    // Time passes: both clocks move on.
    void advance(std::chrono::milliseconds duration);
    // The machine's clock is set, back or forward; no time passes.
    void set(DateTime value);
    void stepWall(std::chrono::milliseconds step);
    // Time passes that the wall clock does not show (a clock that is set
    // back by as much at the same moment). Negative durations count as 0:
    // a monotonic clock never goes back.
    void advanceMonotonic(std::chrono::milliseconds duration);

  private:
    mutable std::mutex mutex_;
    DateTime wall_;
    MonotonicTime monotonic_{};
};

}  // namespace qel
