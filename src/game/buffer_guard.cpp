#include "game/buffer_guard.h"

#include "game/host_layout.h"
#include "game/readable_range.h"

namespace game {

namespace {

constexpr std::int32_t kMaxVertices = 30000;
constexpr std::int32_t kMaxTriangles = 60000;
constexpr std::uint32_t kMaxTexCoordSets = GeometryMaxTexCoordSets;

constexpr std::uint32_t kPositionSize = sizeof(dent::Vec);
constexpr std::uint32_t kNormalSize = sizeof(dent::Vec);
constexpr std::uint32_t kTriangleSize = sizeof(Triangle);
constexpr std::uint32_t kPrelitSize = 4;   // one RGBA colour
constexpr std::uint32_t kTexCoordSize = 8; // two floats

// `count` elements of `elementSize` bytes at `pointer`, readable as a whole.
// Counts are bounded before, so the product cannot overflow.
bool bufferReadable(const void* pointer, std::int32_t count, std::uint32_t elementSize) {
    return readableRange(pointer, static_cast<std::size_t>(count) * elementSize);
}

} // namespace

bool cpuBufferGuard(const void* geometry, std::uint32_t morphOffset) {
    const std::uintptr_t g = reinterpret_cast<std::uintptr_t>(geometry);
    if (morphOffset == 0) return false;
    if (g < kLowestHostAddress || !rangeFits(g, GeometryHeaderSize)) return false;
    if (!readableRange(g, GeometryHeaderSize)) return false;
    // The morph-target pointer may lie past the part of the record read so far.
    if (morphOffset > UINTPTR_MAX - 4 || !rangeFits(g, morphOffset + 4u)) return false;
    if (!readableRange(g, morphOffset + 4u)) return false;

    const std::uint32_t flags = geometryFlags(geometry);
    const std::int32_t vertices = vertexCount(geometry);
    const std::int32_t triangleTotal = triangleCount(geometry);
    const std::int32_t texSets = texCoordSetCount(geometry);
    if (vertices < 1 || vertices > kMaxVertices) return false;
    if (triangleTotal < 1 || triangleTotal > kMaxTriangles) return false;
    if (morphTargetCount(geometry) != 1) return false;
    // Unsigned, so that a negative count fails too.
    if (static_cast<std::uint32_t>(texSets) > kMaxTexCoordSets) return false;
    if (flags & FormatNoCpuData) return false;

    const void* morph = morphTarget(geometry, morphOffset);
    if (!readableRange(morph, MorphTargetSize)) return false;
    // A morph target owned by another geometry means the offset (or the
    // record) is not what we think it is.
    if (morphParent(morph) != geometry) return false;

    if (!bufferReadable(morphPositions(morph), vertices, kPositionSize)) return false;
    if (!bufferReadable(triangles(geometry), triangleTotal, kTriangleSize)) return false;

    const void* normals = morphNormals(morph);
    if (normals != nullptr) {
        if (!bufferReadable(normals, vertices, kNormalSize)) return false;
    } else if (flags & FormatNormals) {
        return false;
    }
    const void* prelit = prelitColours(geometry);
    if (prelit != nullptr) {
        if (!bufferReadable(prelit, vertices, kPrelitSize)) return false;
    } else if (flags & FormatPrelit) {
        return false;
    }
    for (std::int32_t s = 0; s < texSets; ++s) {
        if (!bufferReadable(texCoords(geometry, s), vertices, kTexCoordSize)) return false;
    }
    return true;
}

} // namespace game
