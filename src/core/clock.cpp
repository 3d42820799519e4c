#include "core/clock.h"

#include <ctime>
#include <thread>

namespace qel {

DateTime SystemClock::now() const {
    const auto nowPoint = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(nowPoint);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(nowPoint.time_since_epoch()) % 1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return DateTime::fromDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                  local.tm_hour, local.tm_min, local.tm_sec,
                                  static_cast<int>(ms.count()));
}

void SystemClock::sleepFor(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

DateTime ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualClock::sleepFor(std::chrono::milliseconds duration) {
    advance(duration);
}

void ManualClock::set(DateTime value) {
    std::lock_guard lock(mutex_);
    now_ = value;
}

void ManualClock::advance(std::chrono::milliseconds duration) {
    std::lock_guard lock(mutex_);
    now_ = DateTime(now_.value() + static_cast<double>(duration.count()) /
                                       static_cast<double>(kMillisecondsPerDay));
}

}  // namespace qel
