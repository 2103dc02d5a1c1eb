#include "mesh/crease_topology.h"

#include "dent/panel_split.h"
#include "game/buffer_guard.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/registry.h"
#include "mesh/geometry_clone.h"
#include "plugin/log.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace mesh {

namespace {

constexpr float kMinLength = 0.25f;
constexpr float kMaxLength = 3.5f;
// Height allowed as a share of the length: a damaged variant is already bent.
constexpr float kHeightShareDamaged = 1.1f;
constexpr float kHeightShare = 0.75f;
constexpr float kMinWidth = 0.02f;
// 10000 panel triangles make 30000 vertices, the most a guarded geometry has.
constexpr std::size_t kMaxPanelTriangles = 10000;
constexpr std::int32_t kMaxSourceTriangles = 10000;
constexpr std::uint32_t kSpanColumns = 6;
constexpr std::uint32_t kCarriedFormatBits = 0xFE;
constexpr std::size_t kSphereBytes = 16;

const char* kindWord(std::int32_t kind) {
    return kind == 1 ? "bonnet" : "boot";
}

// Holds a geometry created here until it is handed to the caller, so that
// every early return and an allocation failure give it back to the host.
class Created {
  public:
    explicit Created(void* geometry) : geometry_(geometry) {}
    ~Created() { game::guardedGeometryRelease(geometry_); }
    Created(const Created&) = delete;
    Created& operator=(const Created&) = delete;
    void* get() const { return geometry_; }
    void* handOver() {
        void* g = geometry_;
        geometry_ = nullptr;
        return g;
    }

  private:
    void* geometry_;
};

struct Bounds {
    float low[3] = {1e20f, 1e20f, 1e20f}; // x, s, z
    float high[3] = {-1e20f, -1e20f, -1e20f};
};

// Lowest and highest x, s = sign * y and z; false at the first coordinate
// that is not finite.
bool measure(const dent::Vec* positions, std::int32_t count, float sign, Bounds& b) {
    for (std::int32_t i = 0; i < count; ++i) {
        const float v[3] = {positions[i].x, sign * positions[i].y, positions[i].z};
        for (int a = 0; a < 3; ++a) {
            if (!std::isfinite(v[a])) return false;
            if (v[a] < b.low[a]) b.low[a] = v[a];
            if (v[a] > b.high[a]) b.high[a] = v[a];
        }
    }
    return true;
}

void describeSpan(game::PanelState& panel, const Bounds& b, float length) {
    const float sign = panel.shape.sign;
    const float lowS = b.low[1];
    const float width = b.high[0] - b.low[0];
    panel.shape.start = lowS;
    panel.shape.length = length;
    dent::SpanFold& fold = panel.fold;
    fold.from = b.low[0];
    fold.to = b.high[0];
    fold.height = (b.high[2] + b.low[2]) * 0.5f;
    fold.columns = kSpanColumns;
    for (std::uint32_t k = 0; k <= kSpanColumns; ++k) {
        const float x = (static_cast<float>(k) * width) / 6.0f + b.low[0];
        fold.nearEdge[k] = dent::Vec{x, sign * lowS, fold.height};
        fold.farEdge[k] = dent::Vec{x, (lowS + length) * sign, fold.height};
    }
    for (float& f : fold.spare)
        f = 0.0f;
    panel.lattice.init(fold, panel.shape);
}

// Measures the panel and, when it is plausible, writes its shape, span and
// lattice into `panel`. A refusal for its bounds is logged when `report`.
bool layOut(void* source, const dent::Vec* positions, std::int32_t vertices,
            game::PanelState& panel, bool report) {
    Bounds b;
    if (!measure(positions, vertices, panel.shape.sign, b)) return false;
    const float length = b.high[1] - b.low[1];
    const float height = b.high[2] - b.low[2];
    const float heightLimit = (panel.damaged ? kHeightShareDamaged : kHeightShare) * length;
    const std::int32_t sourceTriangles = game::triangleCount(source);
    const bool accepted = std::isfinite(length) && length >= kMinLength && length <= kMaxLength &&
                          std::isfinite(height) && height >= 0.0f && height <= heightLimit &&
                          sourceTriangles >= 1 && sourceTriangles <= kMaxSourceTriangles;
    if (!accepted) {
        if (report)
            plugin::logFormat(192,
                              "PanelBounds: kind=%s damaged=%d length=%.4f height=%.4f rejected",
                              kindWord(panel.kind), panel.damaged ? 1 : 0,
                              static_cast<double>(length), static_cast<double>(height));
        return false;
    }
    if (b.high[0] - b.low[0] < kMinWidth) return false;
    describeSpan(panel, b, length);
    return true;
}

// The arrays of a geometry that the rebuild reads or writes.
struct Arrays {
    dent::Vec* positions = nullptr;
    dent::Vec* normals = nullptr;
    unsigned char* prelit = nullptr;
    float* texCoords[game::GeometryMaxTexCoordSets] = {};
    void* morph = nullptr;
};

Arrays arraysOf(void* geometry, std::int32_t sets) {
    Arrays a;
    a.morph = game::morphTarget(geometry, game::morphOffset);
    if (a.morph != nullptr) {
        a.positions = static_cast<dent::Vec*>(game::morphPositions(a.morph));
        a.normals = static_cast<dent::Vec*>(game::morphNormals(a.morph));
    }
    a.prelit = static_cast<unsigned char*>(game::prelitColours(geometry));
    for (std::int32_t s = 0; s < sets; ++s)
        a.texCoords[s] = static_cast<float*>(game::texCoords(geometry, s));
    return a;
}

dent::PanelVertex cornerOf(const Arrays& a, std::uint16_t idx, std::int32_t sets) {
    dent::PanelVertex v{};
    v.position = a.positions[idx];
    if (a.normals != nullptr) v.normal = a.normals[idx];
    if (a.prelit != nullptr) {
        for (int c = 0; c < 4; ++c)
            v.colour[c] = static_cast<float>(a.prelit[4u * idx + c]);
    }
    for (std::int32_t s = 0; s < sets; ++s) {
        if (a.texCoords[s] == nullptr) continue;
        v.uv[s][0] = a.texCoords[s][2u * idx];
        v.uv[s][1] = a.texCoords[s][2u * idx + 1];
    }
    v.side = 0;
    return v;
}

// Every source triangle cut along the crease and the lattice; false when an
// index is out of range or the pieces are too many.
bool cutTriangles(void* source, const Arrays& a, std::int32_t vertices, std::int32_t sets,
                  const game::PanelState& panel, std::vector<dent::PanelTriangle>& out) {
    const auto* tris = static_cast<const game::Triangle*>(game::triangles(source));
    if (tris == nullptr) return false;
    const std::int32_t count = game::triangleCount(source);
    // Cutting makes about four pieces per triangle; growing the list piece by
    // piece would copy it over and over during the first touch.
    if (count > 0) out.reserve(std::min(std::size_t(count) * 5, kMaxPanelTriangles + 1));
    dent::PanelCutter cutter(panel.shape, panel.fold, panel.lattice);
    for (std::int32_t i = 0; i < count; ++i) {
        game::Triangle tri;
        std::memcpy(&tri, &tris[i], sizeof tri);
        dent::PanelTriangle t{};
        t.material = tri.material;
        for (int j = 0; j < 3; ++j) {
            const std::uint16_t idx = tri.vertex[j];
            if (idx >= vertices) return false;
            t.vertices[j] = cornerOf(a, idx, sets);
        }
        cutter.cut(t, out);
        if (out.size() > kMaxPanelTriangles) return false;
    }
    return true;
}

// What cutTriangles() would make of the same triangles, counted from their
// corners' positions alone: 0 when it would refuse them.
std::size_t countPieces(void* source, const dent::Vec* positions, std::int32_t vertices,
                        const game::PanelState& panel) {
    const auto* tris = static_cast<const game::Triangle*>(game::triangles(source));
    if (tris == nullptr) return 0;
    const std::int32_t count = game::triangleCount(source);
    const std::int32_t materials = game::materialCount(source);
    dent::PanelCutter cutter(panel.shape, panel.fold, panel.lattice);
    std::size_t pieces = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        game::Triangle tri;
        std::memcpy(&tri, &tris[i], sizeof tri);
        // Pieces keep their triangle's material; the build refuses a bad one.
        if (tri.material < 0 || tri.material >= materials) return 0;
        for (const std::uint16_t idx : tri.vertex)
            if (idx >= vertices) return 0;
        pieces += cutter.count(positions[tri.vertex[0]], positions[tri.vertex[1]],
                               positions[tri.vertex[2]]);
        if (pieces > kMaxPanelTriangles) return 0;
    }
    return pieces;
}

// Vertices 3k .. 3k+2 from the corners of piece k, and its two faces: the
// front in the piece's winding, the back with the last two swapped.
bool writePieces(void* source, void* target, const Arrays& to, std::int32_t sets,
                 const std::vector<dent::PanelTriangle>& pieces, std::vector<std::int32_t>& sides) {
    const std::int32_t materials = game::materialCount(source);
    const void* table = game::materialTable(source);
    auto* faces = static_cast<game::Triangle*>(game::triangles(target));
    if (faces == nullptr) return false;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        const dent::PanelTriangle& piece = pieces[k];
        if (table == nullptr ||
            static_cast<std::uint32_t>(piece.material) >= static_cast<std::uint32_t>(materials))
            return false;
        for (int j = 0; j < 3; ++j) {
            const dent::PanelVertex& c = piece.vertices[j];
            const std::size_t v = 3 * k + static_cast<std::size_t>(j);
            to.positions[v] = c.position;
            if (to.normals != nullptr) to.normals[v] = dent::normalized(c.normal);
            if (to.prelit != nullptr) {
                for (int b = 0; b < 4; ++b)
                    to.prelit[4 * v + b] = panelColourByte(c.colour[b]);
            }
            for (std::int32_t s = 0; s < sets; ++s) {
                to.texCoords[s][2 * v] = c.uv[s][0];
                to.texCoords[s][2 * v + 1] = c.uv[s][1];
            }
            sides.push_back(c.side);
        }
        void* material = game::pointerField(table, 4u * static_cast<std::uint32_t>(piece.material));
        const auto a = static_cast<std::uint16_t>(3 * k);
        const auto b = static_cast<std::uint16_t>(a + 1);
        const auto c = static_cast<std::uint16_t>(a + 2);
        game::Triangle* front = &faces[2 * k];
        game::Triangle* back = &faces[2 * k + 1];
        if (game::triangleVertices(target, front, a, b, c) == nullptr) return false;
        if (game::triangleMaterial(target, front, material) == nullptr) return false;
        if (game::triangleVertices(target, back, a, c, b) == nullptr) return false;
        if (game::triangleMaterial(target, back, material) == nullptr) return false;
    }
    return true;
}

} // namespace

bool creaseShapeAccepted(void* source, const game::PanelState& panel) {
    if (source == nullptr || game::morphOffset == 0) return false;
    if (game::geometrySkin(source) != nullptr) return false;
    const std::int32_t vertices = game::vertexCount(source);
    if (vertices < 1) return false;
    const void* morph = game::morphTarget(source, game::morphOffset);
    const auto* positions =
        morph != nullptr ? static_cast<const dent::Vec*>(game::morphPositions(morph)) : nullptr;
    const auto* tris = static_cast<const game::Triangle*>(game::triangles(source));
    if (positions == nullptr || tris == nullptr) return false;
    game::PanelState laid;
    laid.kind = panel.kind;
    laid.damaged = panel.damaged;
    laid.shape = panel.shape;
    if (!layOut(source, positions, vertices, laid, false)) return false;
    const std::int32_t count = game::triangleCount(source);
    const std::int32_t materials = game::materialCount(source);
    for (std::int32_t i = 0; i < count; ++i) {
        game::Triangle tri;
        std::memcpy(&tri, &tris[i], sizeof tri);
        if (tri.material < 0 || tri.material >= materials) return false;
        for (const std::uint16_t idx : tri.vertex)
            if (idx >= vertices) return false;
    }
    return true;
}

std::int32_t creaseVertexCount(void* source, const game::PanelState& panel) {
    if (source == nullptr || game::morphOffset == 0) return 0;
    if (game::geometrySkin(source) != nullptr) return 0;
    const std::int32_t vertices = game::vertexCount(source);
    if (vertices < 1) return 0;
    const void* morph = game::morphTarget(source, game::morphOffset);
    const auto* positions =
        morph != nullptr ? static_cast<const dent::Vec*>(game::morphPositions(morph)) : nullptr;
    if (positions == nullptr) return 0;
    game::PanelState laid;
    laid.kind = panel.kind;
    laid.damaged = panel.damaged;
    laid.shape = panel.shape;
    if (!layOut(source, positions, vertices, laid, false)) return 0;
    return static_cast<std::int32_t>(3 * countPieces(source, positions, vertices, laid));
}

void* buildCreaseTopology(void* source, game::PanelState& panel) {
    plugin::phase("panel: build crease topology");
    if (source == nullptr || game::morphOffset == 0) return nullptr;
    if (game::geometrySkin(source) != nullptr) return nullptr;

    const std::int32_t vertices = game::vertexCount(source);
    const std::int32_t sets = game::texCoordSetCount(source);
    if (vertices < 1 || sets < 0 || sets > game::GeometryMaxTexCoordSets) return nullptr;
    const Arrays from = arraysOf(source, sets);
    if (from.positions == nullptr) return nullptr;

    if (!layOut(source, from.positions, vertices, panel, true)) return nullptr;

    std::vector<dent::PanelTriangle> pieces;
    if (!cutTriangles(source, from, vertices, sets, panel, pieces)) return nullptr;
    if (pieces.empty()) return nullptr;

    const auto n = static_cast<std::int32_t>(pieces.size());
    const std::uint32_t flags = game::geometryFlags(source);
    const std::uint32_t format = (flags & kCarriedFormatBits) |
                                 (static_cast<std::uint32_t>(sets) << game::FormatTexCoordShift);
    Created created(game::createGeometry(3 * n, 2 * n, format));
    void* target = created.get();
    if (target == nullptr) return nullptr;
    if (!game::cpuBufferGuard(target, game::morphOffset)) return nullptr;
    const Arrays to = arraysOf(target, sets);
    if (to.morph == nullptr || to.positions == nullptr) return nullptr;
    std::memcpy(game::bytesAt(to.morph, game::MorphBoundingSphere),
                game::bytesAt(from.morph, game::MorphBoundingSphere), kSphereBytes);
    copySurfaceProperties(target, source);
    if ((flags & game::FormatNormals) != 0 && to.normals == nullptr) return nullptr;
    if ((flags & game::FormatPrelit) != 0 && to.prelit == nullptr) return nullptr;
    for (std::int32_t s = 0; s < sets; ++s) {
        if (to.texCoords[s] == nullptr) return nullptr;
    }

    panel.sides.clear();
    panel.sides.reserve(3 * pieces.size());
    if (!writePieces(source, target, to, sets, pieces, panel.sides)) return nullptr;

    if (game::unlock(target) == nullptr) return nullptr;
    if (!game::materialTableSafe(target)) {
        plugin::logLine("MaterialGuard: invalid panel material table; rejected.");
        return nullptr;
    }
    plugin::phase("panel: crease topology complete");
    return created.handOver();
}

} // namespace mesh
