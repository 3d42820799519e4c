#pragma once

#include <cstdint>

namespace qel::simulator {

// Small deterministic generator (SplitMix64) of the simulator and the chaos run's schedule.
// The standard library's distributions differ between implementations, so every draw is
// derived here, in integer arithmetic, to keep a seed's output identical on every platform.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform integer in [0, bound), without modulo bias; 0 when bound is 0. A draw is taken
    // again only past the last whole multiple of bound (for small bounds, about never).
    std::uint64_t below(std::uint64_t bound) {
        if (bound == 0) return 0;
        const std::uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
        std::uint64_t v = next();
        while (v >= limit) v = next();
        return v % bound;
    }

    // Uniform integer in [low, high].
    std::int64_t between(std::int64_t low, std::int64_t high) {
        return low + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(high - low) + 1));
    }

    // True with the given probability in [0, 1].
    bool chance(double probability) {
        return static_cast<double>(next() >> 11) * 0x1.0p-53 < probability;
    }

  private:
    std::uint64_t state_;
};

// Mixes a seed with a text (a store or station code) into an independent stream seed, so
// each station's data does not depend on how many stations come before it.
inline std::uint64_t mixSeed(std::uint64_t seed, const char* text, std::uint64_t salt = 0) {
    std::uint64_t h = 1469598103934665603ull ^ seed ^ (salt * 0x9E3779B97F4A7C15ull);
    for (const char* p = text; *p != '\0'; ++p) {
        h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
    }
    return Random(h).next();
}

}  // namespace qel::simulator
