#include "app/export_timer.h"

namespace qel::app {

void ExportTimer::setInterval(std::chrono::milliseconds interval, MonotonicTime now) {
    interval_ = interval;
    setAt_ = now;
    beats_ = 0;
}

std::optional<MonotonicTime> ExportTimer::nextDue() const {
    if (interval_.count() <= 0) return std::nullopt;
    return setAt_ + (beats_ + 1) * interval_;
}

bool ExportTimer::take(MonotonicTime now) {
    if (interval_.count() <= 0) return false;
    const std::int64_t passed = (now - setAt_) / interval_;  // beats up to now
    if (passed <= beats_) return false;
    beats_ = passed;
    return true;
}

}  // namespace qel::app
