#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qel::chaos {

// The wall clock of one machine of the run (a station's agent, or the
// server), stepped the way an operator or a time server steps it: the
// programs run with libfaketime preloaded, reading their offset from a file
// this class rewrites. Only the real-time clock moves; the monotonic clock
// goes on as a time server leaves it.
class MachineClock {
  public:
    // Writes the file with no offset. Throws IoError.
    explicit MachineClock(std::filesystem::path offsetFile);

    // Sets the clock `seconds` away from the true time (negative: behind).
    void step(std::int64_t seconds);
    std::int64_t offset() const { return offset_; }

    // The environment that makes a program started with it follow this clock.
    std::vector<std::string> environment() const;

  private:
    std::filesystem::path file_;
    std::int64_t offset_ = 0;
};

// The libfaketime library to preload; throws Error naming the package when
// it is not installed.
std::filesystem::path fakeTimeLibrary();

}  // namespace qel::chaos
