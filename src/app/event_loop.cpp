#include "app/event_loop.h"

#include <algorithm>

namespace qel::app {

void EventLoop::run() {
    for (;;) {
        const MonotonicTime now = clock_.monotonicNow();
        if (timer_.take(now)) {
            onTick_();
            continue;
        }
        std::optional<std::chrono::milliseconds> wait;
        if (const auto due = timer_.nextDue()) {
            wait = std::clamp(*due - now, std::chrono::milliseconds(1), kLongestWait);
        }
        if (wait_(wait)) return;
    }
}

}  // namespace qel::app
