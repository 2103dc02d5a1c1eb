#include "mesh/geometry_clone.h"

#include "game/buffer_guard.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/registry.h"
#include "plugin/log.h"

#include <cstdint>
#include <cstring>

namespace mesh {

namespace {

constexpr std::int32_t kMaxVertices = 30000;
constexpr std::int32_t kMaxTriangles = 60000;

// Flags carried from the source unchanged; prelit, normals and the texture
// coordinate bits are decided from what the source really holds.
constexpr std::uint32_t kCarriedFlags = game::FormatTriStrip | game::FormatPositions |
                                        game::FormatLight | game::FormatModulateColour;

constexpr std::size_t kPositionBytes = sizeof(dent::Vec);
constexpr std::size_t kNormalBytes = sizeof(dent::Vec);
constexpr std::size_t kPrelitBytes = 4;
constexpr std::size_t kTexCoordBytes = 8;
constexpr std::size_t kSphereBytes = 16;

// The counts and pointers the copy is made from, read once from the
// guarded source.
struct Source {
    std::int32_t vertices;
    std::int32_t triangleTotal;
    std::int32_t texSets;
    std::int32_t materials;
    void* materialTable;
    const game::Triangle* triangles;
    void* morph;
};

bool supported(const void* geometry, Source& s) {
    s.vertices = game::vertexCount(geometry);
    s.triangleTotal = game::triangleCount(geometry);
    s.texSets = game::texCoordSetCount(geometry);
    s.materials = game::materialCount(geometry);
    s.materialTable = game::materialTable(geometry);
    s.triangles = static_cast<const game::Triangle*>(game::triangles(geometry));
    s.morph = game::morphOffset != 0 ? game::morphTarget(geometry, game::morphOffset) : nullptr;
    if (s.vertices < 1 || s.vertices > kMaxVertices) return false;
    if (s.triangleTotal < 1 || s.triangleTotal > kMaxTriangles) return false;
    if (game::morphTargetCount(geometry) != 1) return false;
    if (game::morphOffset == 0 || s.morph == nullptr) return false;
    if (game::morphPositions(s.morph) == nullptr) return false;
    if (s.triangles == nullptr) return false;
    if (s.texSets < 0 || s.texSets > game::GeometryMaxTexCoordSets) return false;
    if (s.materials < 1 || s.materialTable == nullptr) return false;
    if (game::geometryFlags(geometry) & game::FormatNoCpuData) return false;
    return true;
}

void* materialEntry(const Source& s, std::int32_t index) {
    return game::pointerField(s.materialTable, static_cast<std::uint32_t>(index) * 4u);
}

bool trianglesValid(const Source& s) {
    for (std::int32_t t = 0; t < s.triangleTotal; ++t) {
        game::Triangle tri;
        std::memcpy(&tri, &s.triangles[t], sizeof tri);
        if (tri.material < 0 || tri.material >= s.materials) return false;
        if (materialEntry(s, tri.material) == nullptr) return false;
        for (int k = 0; k < 3; ++k) {
            if (tri.vertex[k] >= s.vertices) return false;
        }
    }
    return true;
}

// Copies `bytes` from `from` to `to`; false when the copy's buffer is missing.
bool copyBuffer(void* to, const void* from, std::size_t bytes) {
    if (to == nullptr || from == nullptr) return false;
    std::memcpy(to, from, bytes);
    return true;
}

bool copyVertexAttributes(void* copy, const void* source, const Source& s, std::uint32_t flags) {
    const std::size_t n = static_cast<std::size_t>(s.vertices);
    void* morph = game::morphTarget(copy, game::morphOffset);
    if (morph == nullptr) return false;
    if (!copyBuffer(game::morphPositions(morph), game::morphPositions(s.morph), n * kPositionBytes))
        return false;
    std::memcpy(game::bytesAt(morph, game::MorphBoundingSphere),
                game::bytesAt(s.morph, game::MorphBoundingSphere), kSphereBytes);
    if ((flags & game::FormatNormals) &&
        !copyBuffer(game::morphNormals(morph), game::morphNormals(s.morph), n * kNormalBytes))
        return false;
    if ((flags & game::FormatPrelit) &&
        !copyBuffer(game::prelitColours(copy), game::prelitColours(source), n * kPrelitBytes))
        return false;
    for (std::int32_t set = 0; set < s.texSets; ++set) {
        if (!copyBuffer(game::texCoords(copy, set), game::texCoords(source, set),
                        n * kTexCoordBytes))
            return false;
    }
    return true;
}

bool copyTriangles(void* copy, const Source& s) {
    auto* target = static_cast<game::Triangle*>(game::triangles(copy));
    if (target == nullptr) return false;
    for (std::int32_t t = 0; t < s.triangleTotal; ++t) {
        game::Triangle tri;
        std::memcpy(&tri, &s.triangles[t], sizeof tri);
        if (game::triangleVertices(copy, &target[t], tri.vertex[0], tri.vertex[1],
                                   tri.vertex[2]) == nullptr)
            return false;
        // The copy shares the source's material objects; the host counts the
        // reference.
        if (game::triangleMaterial(copy, &target[t], materialEntry(s, tri.material)) == nullptr)
            return false;
    }
    return true;
}

void* refuse(void* copy) {
    game::guardedGeometryRelease(copy);
    return nullptr;
}

} // namespace

void copySurfaceProperties(void* copy, const void* source) {
    // The engine lights a geometry with these; a copy left with the creation
    // defaults would stand out from the rest of the car.
    if (game::hasSurfaceProperties(game::morphOffset))
        game::setSurfaceProperties(copy, game::surfaceProperties(source));
}

void* cloneGeometry(void* source) {
    plugin::phase("clone: validate CPU geometry");
    if (!game::cpuBufferGuard(source, game::morphOffset) || !game::materialTableSafe(source)) {
        plugin::logLine("MaterialGuard: invalid source material table; clone skipped.");
        return nullptr;
    }
    if (game::geometrySkin(source) != nullptr) return nullptr;

    Source s{};
    if (!supported(source, s)) {
        plugin::phase("clone: unsupported or incomplete CPU geometry; skipped");
        return nullptr;
    }
    for (std::int32_t set = 0; set < s.texSets; ++set) {
        if (game::texCoords(source, set) == nullptr) {
            plugin::phase("clone: missing UV buffer; skipped");
            return nullptr;
        }
    }
    if (!trianglesValid(s)) {
        plugin::phase("clone: invalid triangle indices or material; skipped");
        return nullptr;
    }

    std::uint32_t keep = kCarriedFlags;
    if (game::prelitColours(source) != nullptr) keep |= game::FormatPrelit;
    if (game::morphNormals(s.morph) != nullptr) keep |= game::FormatNormals;
    std::uint32_t flags = game::geometryFlags(source) & keep;
    if (s.texSets == 1) flags |= game::FormatTexCoords1;
    if (s.texSets >= 2) flags |= game::FormatTexCoords2;
    const std::uint32_t format =
        flags + (static_cast<std::uint32_t>(s.texSets) << game::FormatTexCoordShift);

    plugin::phase("clone: create independent geometry");
    void* copy = game::createGeometry(s.vertices, s.triangleTotal, format);
    if (copy == nullptr) return nullptr;
    if (!game::cpuBufferGuard(copy, game::morphOffset)) return refuse(copy);

    plugin::phase("clone: copy vertex attributes");
    if (!copyVertexAttributes(copy, source, s, flags)) return refuse(copy);
    copySurfaceProperties(copy, source);

    plugin::phase("clone: copy triangles and reference materials");
    if (!copyTriangles(copy, s)) return refuse(copy);

    plugin::phase("clone: build render meshes");
    if (game::unlock(copy) == nullptr) return refuse(copy);

    if (!game::materialTableSafe(copy)) {
        plugin::logLine("MaterialGuard: invalid cloned material table; rejected.");
        return refuse(copy);
    }
    plugin::phase("clone: complete (direct copy; no serialization)");
    return copy;
}

} // namespace mesh
