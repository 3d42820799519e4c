#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "app/export_timer.h"
#include "core/clock.h"

namespace qel::app {

// The main thread's loop after start-up: sleeps until the export timer falls
// due or a stop request comes, runs one cycle per tick, and returns on a
// stop request. A cycle runs on this thread, so cycles never overlap and a
// stop request is taken between two cycles, never inside one.
class EventLoop {
  public:
    // Waits for a stop request (true) at most the given time; without a time,
    // until one comes.
    using Wait = std::function<bool(std::optional<std::chrono::milliseconds>)>;

    EventLoop(const Clock& clock, ExportTimer& timer, Wait wait, std::function<void()> onTick)
        : clock_(clock), timer_(timer), wait_(std::move(wait)), onTick_(std::move(onTick)) {}

    void run();

    // Longest single wait while the timer runs: the loop looks at the
    // monotonic clock again at least this often, whatever a wait does.
    static constexpr std::chrono::milliseconds kLongestWait{60'000};

  private:
    const Clock& clock_;
    ExportTimer& timer_;
    Wait wait_;
    std::function<void()> onTick_;
};

}  // namespace qel::app
