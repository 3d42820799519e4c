#include "core/clock.h"

#include <algorithm>
#include <ctime>
#include <thread>

namespace qel {
namespace {

DateTime plus(DateTime value, std::chrono::milliseconds duration) {
    return DateTime(value.value() + static_cast<double>(duration.count()) /
                                        static_cast<double>(kMillisecondsPerDay));
}

}  // namespace

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

MonotonicTime SystemClock::monotonicNow() const {
    return std::chrono::floor<std::chrono::milliseconds>(std::chrono::steady_clock::now());
}

void SystemClock::sleepFor(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

DateTime ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return wall_;
}

MonotonicTime ManualClock::monotonicNow() const {
    std::lock_guard lock(mutex_);
    return monotonic_;
}

void ManualClock::sleepFor(std::chrono::milliseconds duration) {
    advance(duration);
}

void ManualClock::advance(std::chrono::milliseconds duration) {
    std::lock_guard lock(mutex_);
    wall_ = plus(wall_, duration);
    monotonic_ += std::max(duration, std::chrono::milliseconds(0));
}

void ManualClock::set(DateTime value) {
    std::lock_guard lock(mutex_);
    wall_ = value;
}

void ManualClock::stepWall(std::chrono::milliseconds step) {
    std::lock_guard lock(mutex_);
    wall_ = plus(wall_, step);
}

void ManualClock::advanceMonotonic(std::chrono::milliseconds duration) {
    std::lock_guard lock(mutex_);
    monotonic_ += std::max(duration, std::chrono::milliseconds(0));
}

}  // namespace qel
