#pragma once

// What the process tests share: waiting for a real process.

#include <chrono>
#include <thread>

namespace qel::testing {

// Polls `done` every 20 ms for up to 3 minutes (a process works in real
// time, and a loaded build machine can slow it a lot).
template <typename Done>
bool eventually(Done done) {
    using namespace std::chrono_literals;
    for (int i = 0; i < 9000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

}  // namespace qel::testing
