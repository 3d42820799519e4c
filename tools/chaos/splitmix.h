#pragma once

#include <cstdint>

namespace qel::chaos {

// SplitMix64: a small generator whose output depends only on the seed and
// integer arithmetic, so a seed replays the same schedule on every machine
// and standard library.
class SplitMix64 {
  public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // A value in [0, bound) without modulo bias; 0 when bound is 0.
    std::uint64_t below(std::uint64_t bound) {
        if (bound == 0) return 0;
        const std::uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
        std::uint64_t v = next();
        while (v >= limit) v = next();
        return v % bound;
    }

    // A value in [low, high].
    std::int64_t between(std::int64_t low, std::int64_t high) {
        return low + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(high - low) + 1));
    }

  private:
    std::uint64_t state_;
};

}  // namespace qel::chaos
