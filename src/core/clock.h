#pragma once

#include <chrono>
#include <mutex>

#include "core/datetime.h"

namespace qel {

// Every "now", "today" and sleep of the agent comes from a Clock, so tests
// can run the watchdog, the age rules and the log's day change instantly.
class Clock {
  public:
    virtual ~Clock() = default;
    // Current local date and time.
    virtual DateTime now() const = 0;
    // Blocks for the duration (a manual clock advances instead).
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;
    DateTime today() const { return now().date(); }
};

// The machine's local time.
class SystemClock final : public Clock {
  public:
    DateTime now() const override;
    void sleepFor(std::chrono::milliseconds duration) override;
};

// A clock that moves only when told; a sleep advances it at once.
// Thread-safe: the watchdog thread and the main thread may share it.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(DateTime start = DateTime::fromDateTime(2026, 12, 6, 9, 52, 13))
        : now_(start) {}
    DateTime now() const override;
    void sleepFor(std::chrono::milliseconds duration) override;
    void set(DateTime value);
    void advance(std::chrono::milliseconds duration);

  private:
    mutable std::mutex mutex_;
    DateTime now_;
};

}  // namespace qel
