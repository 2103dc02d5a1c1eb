#pragma once

// splitmix64: a small seeded generator, so that a run is reproduced from its
// printed seed alone.

#include <cstdint>

namespace soak {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n - 1 (n > 0).
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
    bool chance(std::uint32_t oneIn) { return below(oneIn) == 0; }
    // lo .. hi.
    float uniform(float lo, float hi) {
        return lo + (hi - lo) * static_cast<float>(next() >> 40) / static_cast<float>(1ull << 24);
    }

private:
    std::uint64_t state_;
};

} // namespace soak
