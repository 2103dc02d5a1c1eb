#pragma once

// Turns a fuzzer's byte string into the values the core takes. Most floats
// come out well scaled so that the properties that need ordinary numbers get
// exercised; the rest are raw bit patterns or the usual troublemakers (NaN,
// infinities, zero, subnormals, the largest floats). Reading past the end
// yields zeros, so every input decodes to something.

#include "dent/vec.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace fuzz {

using dent::Vec;
using dent::isFinite;

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }

    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v |= std::uint32_t(byte()) << (8 * k);
        return v;
    }

    // 0 .. n - 1 (n > 0).
    std::uint32_t below(std::uint32_t n) { return byte() % n; }

    float anyFloat() {
        const std::uint8_t selector = byte();
        switch (selector % 8) {
        case 0:
            return special(byte());
        case 1: {
            const std::uint32_t bits = u32();
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        default:
            return scaled();
        }
    }

    // Finite, within +-32.768 in steps of 0.001.
    float scaled() {
        const std::int16_t v = std::int16_t(std::uint16_t(byte()) | std::uint16_t(byte() << 8));
        return float(v) / 1000.0f;
    }

    Vec anyVec() { return Vec{anyFloat(), anyFloat(), anyFloat()}; }
    Vec scaledVec() { return Vec{scaled(), scaled(), scaled()}; }

  private:
    static float special(std::uint8_t k) {
        const float table[] = {0.0f,
                               -0.0f,
                               1.0f,
                               -1.0f,
                               std::numeric_limits<float>::quiet_NaN(),
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity(),
                               std::numeric_limits<float>::max(),
                               -std::numeric_limits<float>::max(),
                               std::numeric_limits<float>::min(),
                               std::numeric_limits<float>::denorm_min(),
                               1e-30f,
                               0.000001f,
                               1e6f,
                               -1e6f,
                               1e19f,
                               -1e19f,
                               0.5f};
        return table[k % (sizeof table / sizeof table[0])];
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

inline bool finite(Vec v) {
    return isFinite(v);
}

// A broken property: say which and stop, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
    std::abort();
}

} // namespace fuzz

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) ::fuzz::fail(__FILE__, __LINE__, #condition);                            \
    } while (0)
