#pragma once

// Seeded random drivers: a fixed seed and a small iteration count by default
// so that the test run is reproducible and short; BW_FUZZ_ITERATIONS raises
// the count and BW_FUZZ_SEED picks another sequence for long runs.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzzdrive {

inline std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    return (end != nullptr && *end == '\0') ? v : fallback;
}

inline std::uint64_t iterations(std::uint64_t fallback) {
    return envNumber("BW_FUZZ_ITERATIONS", fallback);
}

// splitmix64: small, fast and good enough to drive hostile inputs.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    static Random fromEnvironment(const char* what, std::uint64_t fallback) {
        const std::uint64_t seed = envNumber("BW_FUZZ_SEED", fallback);
        std::printf("%s: seed %llu\n", what, static_cast<unsigned long long>(seed));
        return Random(seed);
    }

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(next() >> 32); }
    // 0 .. n - 1 (n > 0).
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
    bool chance(std::uint32_t oneIn) { return below(oneIn) == 0; }

  private:
    std::uint64_t state_;
};

} // namespace fuzzdrive
