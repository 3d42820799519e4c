#include "app/export_timer.h"

#include <cmath>

namespace qel::app {
namespace {

std::int64_t msBetween(DateTime from, DateTime to) {
    return std::llround((to.value() - from.value()) * static_cast<double>(kMillisecondsPerDay));
}

}  // namespace

void ExportTimer::setInterval(std::chrono::milliseconds interval, DateTime now) {
    interval_ = interval;
    setAt_ = now;
    beats_ = 0;
}

std::optional<DateTime> ExportTimer::nextDue() const {
    if (interval_.count() <= 0) return std::nullopt;
    const double ms = static_cast<double>((beats_ + 1) * interval_.count());
    return DateTime(setAt_.value() + ms / static_cast<double>(kMillisecondsPerDay));
}

bool ExportTimer::take(DateTime now) {
    if (interval_.count() <= 0) return false;
    const std::int64_t elapsed = msBetween(setAt_, now);
    const std::int64_t passed = elapsed / interval_.count();  // beats up to now
    if (passed <= beats_) return false;
    beats_ = passed;
    return true;
}

}  // namespace qel::app
