#pragma once

#include <cstddef>

namespace mesh {

// Longest frame name read from the host; longer names are cut, so no string
// walk through host memory is unbounded.
constexpr std::size_t kMaxFrameNameBytes = 255;

// A frame name lower-cased into a bounded local copy, for the part-name tests
// (excluded parts, bonnets and boots). A null name reads as empty.
struct LowerFrameName {
    char text[kMaxFrameNameBytes + 1];
    explicit LowerFrameName(const char* name);
};

} // namespace mesh
