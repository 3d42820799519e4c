#include "lock_spans.h"

#include <algorithm>

namespace qel::chaos {

std::size_t LockSpans::taken(const std::filesystem::path& database, TimePoint at) {
    std::lock_guard lock(mutex_);
    auto& spans = spans_[database];
    spans.push_back({at, std::nullopt});
    return spans.size() - 1;
}

void LockSpans::released(const std::filesystem::path& database, std::size_t span, TimePoint at) {
    std::lock_guard lock(mutex_);
    auto& spans = spans_[database];
    if (span < spans.size()) spans[span].to = at;
}

double LockSpans::heldWithin(const std::filesystem::path& database, TimePoint from,
                             TimePoint to) const {
    if (to <= from) return 0;
    std::vector<std::pair<TimePoint, TimePoint>> clipped;
    {
        std::lock_guard lock(mutex_);
        const auto found = spans_.find(database);
        if (found == spans_.end()) return 0;
        for (const Span& s : found->second) {
            const TimePoint begin = std::max(s.from, from);
            const TimePoint end = std::min(s.to.value_or(to), to);
            if (begin < end) clipped.emplace_back(begin, end);
        }
    }
    std::sort(clipped.begin(), clipped.end());
    std::chrono::duration<double> held{0};
    std::optional<std::pair<TimePoint, TimePoint>> run;
    for (const auto& span : clipped) {
        if (run && span.first <= run->second) {
            run->second = std::max(run->second, span.second);
            continue;
        }
        if (run) held += run->second - run->first;
        run = span;
    }
    if (run) held += run->second - run->first;
    return held.count();
}

}  // namespace qel::chaos
