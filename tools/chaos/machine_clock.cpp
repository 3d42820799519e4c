#include "machine_clock.h"

#include <fstream>

#include "core/error.h"

namespace qel::chaos {

MachineClock::MachineClock(std::filesystem::path offsetFile) : file_(std::move(offsetFile)) {
    std::filesystem::create_directories(file_.parent_path());
    step(0);
}

void MachineClock::step(std::int64_t seconds) {
    // Written aside and renamed, so that a program never reads half a line.
    const auto aside = file_.string() + ".new";
    {
        std::ofstream out(aside, std::ios::trunc);
        out << (seconds < 0 ? "" : "+") << seconds << "\n";
        if (!out) throw IoError("cannot write the clock offset " + aside);
    }
    std::filesystem::rename(aside, file_);
    offset_ = seconds;
}

std::vector<std::string> MachineClock::environment() const {
    return {"LD_PRELOAD=" + fakeTimeLibrary().string(), "FAKETIME_TIMESTAMP_FILE=" + file_.string(),
            // The file is read again at most once a second: a step takes
            // effect within a second without a file read per clock call.
            "FAKETIME_CACHE_DURATION=1", "FAKETIME_DONT_FAKE_MONOTONIC=1"};
}

std::filesystem::path fakeTimeLibrary() {
    for (const char* candidate : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                                  "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1",
                                  "/usr/lib/faketime/libfaketimeMT.so.1"}) {
        if (std::filesystem::exists(candidate)) return candidate;
    }
    throw Error("libfaketime is not installed (Debian package faketime), the clock faults need it");
}

}  // namespace qel::chaos
