#pragma once

// What each source geometry held when its car arrived, so that the checks can
// prove the plug-in never writes into a source. Cars built alike share their
// meshes' bytes: identical contents are kept once, and each source names its
// image. Comparing is exact (no hash) and cheaper than hashing under the
// emulator.

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace soak {

class SourceImages {
  public:
    // Both take a live geometry. Remembers what `geometry` holds now.
    void remember(void* geometry);
    // Returns false when `geometry` was not remembered.
    bool forget(void* geometry);
    void clear() { imageOf_.clear(); }
    // False when `geometry` was remembered and holds something else now.
    bool unchanged(void* geometry) const;

  private:
    using Image = std::vector<unsigned char>;
    bool matches(void* geometry, const Image& image) const;
    Image capture(void* geometry) const;

    std::vector<Image> images_;
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>>
        byShape_; // vertices and triangles
    std::unordered_map<void*, std::uint32_t> imageOf_;
};

} // namespace soak
