#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "core/clock.h"

namespace qel::app {

// The export timer `timExpCupons`: fires every `interval` counted from the
// moment the interval was set. Ticks that fall due while a cycle runs are
// not queued up: after the cycle one tick is due at once and the next
// follows on the original beat. An interval of 0 never fires. Counted on the
// monotonic clock, so a step of the machine's clock neither delays nor
// hurries a tick.
class ExportTimer {
  public:
    // The design interval, 30 minutes, counted from `setAt`.
    explicit ExportTimer(MonotonicTime setAt) {
        setInterval(std::chrono::milliseconds(1'800'000), setAt);
    }

    void setInterval(std::chrono::milliseconds interval, MonotonicTime now);
    std::chrono::milliseconds interval() const { return interval_; }

    // When the next tick falls due; nullopt when the timer never fires.
    std::optional<MonotonicTime> nextDue() const;
    // Takes the tick that is due at `now`: true when one was due; the next
    // one is then the first beat after `now`.
    bool take(MonotonicTime now);

  private:
    std::chrono::milliseconds interval_{0};
    MonotonicTime setAt_;
    std::int64_t beats_ = 0;  // ticks taken or skipped since setAt_
};

}  // namespace qel::app
