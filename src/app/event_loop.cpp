#include "app/event_loop.h"

#include <algorithm>
#include <cmath>

namespace qel::app {

void EventLoop::run() {
    for (;;) {
        const DateTime now = clock_.now();
        if (timer_.take(now)) {
            onTick_();
            continue;
        }
        std::optional<std::chrono::milliseconds> wait;
        if (const auto due = timer_.nextDue()) {
            const auto left = static_cast<std::int64_t>(
                std::ceil((due->value() - now.value()) * static_cast<double>(kMillisecondsPerDay)));
            wait = std::clamp(std::chrono::milliseconds(left), std::chrono::milliseconds(1),
                              kLongestWait);
        }
        if (wait_(wait)) return;
    }
}

}  // namespace qel::app
