#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace qel::chaos {

// When the run's own locks held each station database. A clock step's next
// export is measured without the time a lock beside it held the database:
// the agent waiting for a locked database is that fault's doing, not the
// clock's.
class LockSpans {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // A lock taken now on `database`; `released` closes the span it returns.
    std::size_t taken(const std::filesystem::path& database, TimePoint at);
    void released(const std::filesystem::path& database, std::size_t span, TimePoint at);

    // Seconds between `from` and `to` when at least one lock held `database`
    // (a span still open counts up to `to`; overlapping spans count once).
    double heldWithin(const std::filesystem::path& database, TimePoint from, TimePoint to) const;

  private:
    struct Span {
        TimePoint from;
        std::optional<TimePoint> to;
    };
    mutable std::mutex mutex_;
    std::map<std::filesystem::path, std::vector<Span>> spans_;
};

}  // namespace qel::chaos
