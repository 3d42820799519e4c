#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "app/shared_state.h"
#include "core/clock.h"
#include "log/run_log.h"

namespace qel::app {

// The watchdog thread: once a minute it looks at the shared state and
// restarts the agent after 15 minutes without export activity, and after
// 240 minutes of running (first asking the main thread, then forcing it
// five minutes later). It never touches a database. Both limits are
// measured on the monotonic clock: a step of the machine's clock neither
// fires them early nor holds them off.
class onDisparaThreadQelExp {
  public:
    // Sleeps for the duration; false when a stop request cut it short.
    using Sleep = std::function<bool(std::chrono::milliseconds)>;

    struct Context {
        const Clock& clock;
        SharedState& state;
        log::LogSink log;
        std::filesystem::path executableFolder;
        std::function<void()> restart;  // the watchdog's restart command
        // Empty: sleeps in real time on a condition variable that stop()
        // wakes at once. Tests pass a sleep that moves a manual clock.
        Sleep sleep = {};
    };

    explicit onDisparaThreadQelExp(Context context);
    ~onDisparaThreadQelExp();
    onDisparaThreadQelExp(const onDisparaThreadQelExp&) = delete;
    onDisparaThreadQelExp& operator=(const onDisparaThreadQelExp&) = delete;

    // Runs Execute on its own thread.
    void start();
    // Ends the thread at its next sleep (at once when it is sleeping) and
    // waits for it.
    void stop();

    // The thread's loop: passes until stopped; an error writes
    // "Erro DisparaThreadQelSinc:" + message and ends the loop.
    void Execute();
    // One pass of the loop (sleep, inactivity rule, running-time rule,
    // clear the request). False when a stop cut a sleep short. A line the
    // run log cannot take is lost; throws what the restart throws.
    bool pass();

    static constexpr std::chrono::milliseconds kStep{60'000};
    static constexpr std::chrono::milliseconds kNotice{300'000};
    static constexpr std::int64_t kInactivityMs = 900'000;
    static constexpr std::int64_t kRunningMs = 240LL * 60'000;

  private:
    bool sleep(std::chrono::milliseconds duration);
    void line(const std::string& message);
    std::string agentPath() const;

    Context context_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace qel::app
