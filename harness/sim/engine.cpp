// The engine's geometry and material model, with accounting of every record
// and reference.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/sim_state.h"

namespace sim::detail {

namespace {

constexpr std::uint32_t GeometryRecordSize = 0x70; // covers both morph offsets
constexpr std::int32_t MaterialGrowth = 20;        // table slots added at a time
constexpr std::int32_t MaxVertices = 65535;        // 16-bit triangle indices
constexpr std::int32_t MaxTriangles = 1 << 20;

unsigned char* zeroed(std::size_t bytes) {
    return static_cast<unsigned char*>(std::calloc(bytes ? bytes : 1, 1));
}

void mirrorMaterials(GeometryRec& g) {
    game::setPointerField(g.raw, game::GeometryMaterials, g.materialTable);
    game::setField<std::int32_t>(g.raw, game::GeometryMaterialCount,
                                 static_cast<std::int32_t>(g.materials.size()));
    game::setField<std::int32_t>(g.raw, game::GeometryMaterialCapacity, g.materialCapacity);
}

} // namespace

bool failThisUse(HostCall call) {
    State& s = state();
    const int i = static_cast<int>(call);
    ++s.uses[i];
    if (s.failOn[i] != 0 && s.uses[i] == s.failOn[i]) {
        s.failOn[i] = 0;
        return true;
    }
    return false;
}

GeometryRec* findGeometry(const void* raw) {
    State& st = state();
    if (raw != nullptr && raw == st.lastGeometryRaw) return st.lastGeometry;
    auto it = st.geometries.find(raw);
    if (it == st.geometries.end()) return nullptr;
    st.lastGeometryRaw = raw;
    st.lastGeometry = it->second.get();
    return st.lastGeometry;
}

void placeMorphPointer(GeometryRec& g) {
    for (std::uint32_t off : {0x5Cu, 0x60u, 0x64u, 0x68u})
        game::setPointerField(g.raw, off, nullptr);
    switch (state().options.morphLayout) {
    case MorphLayout::At5C: game::setPointerField(g.raw, game::MorphOffsetAt5C, g.morph); break;
    case MorphLayout::At68:
        game::setSurfaceProperties(g.raw, CreatedSurface);
        game::setPointerField(g.raw, game::MorphOffsetAt68, g.morph);
        break;
    case MorphLayout::Neither: game::setPointerField(g.raw, 0x60, g.morph); break;
    case MorphLayout::Both:
        game::setPointerField(g.raw, game::MorphOffsetAt5C, g.morph);
        game::setPointerField(g.raw, game::MorphOffsetAt68, g.morph);
        break;
    }
}

unsigned char* newGeometry(std::int32_t vertices, std::int32_t triangles, std::uint32_t format) {
    int sets = static_cast<int>((format >> game::FormatTexCoordShift) & 0xFF);
    const std::uint32_t flags = format & (0xFFu | game::FormatNoCpuData);
    if (sets == 0) sets = (flags & game::FormatTexCoords2) ? 2 : (flags & game::FormatTexCoords1) ? 1 : 0;
    if (vertices < 0 || vertices > MaxVertices || triangles < 0 || triangles > MaxTriangles ||
        sets > game::GeometryMaxTexCoordSets)
        return nullptr;

    auto rec = std::make_unique<GeometryRec>();
    GeometryRec& g = *rec;
    g.raw = zeroed(GeometryRecordSize);
    g.vertices = vertices;
    g.triangles = triangles;
    g.texSets = sets;
    const bool cpu = (flags & game::FormatNoCpuData) == 0;
    if (cpu) {
        g.triangleArray = zeroed(static_cast<std::size_t>(triangles) * sizeof(game::Triangle));
        if (flags & game::FormatPrelit) g.prelit = zeroed(static_cast<std::size_t>(vertices) * 4);
        for (int s = 0; s < sets; ++s) g.texCoords[s] = zeroed(static_cast<std::size_t>(vertices) * 8);
        g.positions = zeroed(static_cast<std::size_t>(vertices) * 12);
        if (flags & game::FormatNormals) g.normals = zeroed(static_cast<std::size_t>(vertices) * 12);
    }
    g.morph = zeroed(game::MorphTargetSize);
    game::setPointerField(g.morph, game::MorphParent, g.raw);
    game::setPointerField(g.morph, game::MorphPositions, g.positions);
    game::setPointerField(g.morph, game::MorphNormals, g.normals);

    g.raw[0] = 8; // the engine's object type of a geometry
    game::setField<std::uint32_t>(g.raw, game::GeometryFlags, flags);
    game::setField<std::int16_t>(g.raw, game::GeometryRefCount, 1);
    game::setField<std::int32_t>(g.raw, game::GeometryTriangleCount, triangles);
    game::setField<std::int32_t>(g.raw, game::GeometryVertexCount, vertices);
    game::setField<std::int32_t>(g.raw, game::GeometryMorphTargetCount, 1);
    game::setField<std::int32_t>(g.raw, game::GeometryTexCoordSetCount, sets);
    game::setPointerField(g.raw, game::GeometryTriangles, g.triangleArray);
    game::setPointerField(g.raw, game::GeometryPrelit, g.prelit);
    for (int s = 0; s < game::GeometryMaxTexCoordSets; ++s)
        game::setPointerField(g.raw, game::GeometryTexCoords + 4u * s, g.texCoords[s]);
    mirrorMaterials(g);
    placeMorphPointer(g);

    State& st = state();
    ++st.accounting.geometriesCreated;
    ++st.accounting.liveGeometries;
    unsigned char* raw = g.raw;
    st.geometries.emplace(raw, std::move(rec));
    return raw;
}

bool materialTableSafe(const GeometryRec& g) {
    if (game::pointerField(g.raw, game::GeometryMaterials) != g.materialTable) return false;
    if (game::materialCount(g.raw) != static_cast<std::int32_t>(g.materials.size())) return false;
    if (game::materialCapacity(g.raw) != g.materialCapacity) return false;
    for (std::size_t i = 0; i < g.materials.size(); ++i)
        if (game::pointerField(g.materialTable, static_cast<std::uint32_t>(4 * i)) != g.materials[i])
            return false;
    return true;
}

void dropGeometry(GeometryRec& g) {
    State& st = state();
    // The count lives in the record, as in the engine: the plug-in holds a
    // source by raising that field directly.
    const auto refs = static_cast<std::int16_t>(game::geometryRefCount(g.raw) - 1);
    game::setField<std::int16_t>(g.raw, game::GeometryRefCount, refs);
    if (refs > 0) return;
    if (!materialTableSafe(g)) ++st.accounting.unsafeReleases;
    for (void* m : g.materials) releaseMaterial(m);
    std::free(g.triangleArray);
    std::free(g.prelit);
    for (unsigned char* t : g.texCoords) std::free(t);
    std::free(g.positions);
    std::free(g.normals);
    std::free(g.morph);
    std::free(g.materialTable);
    std::free(g.skin);
    unsigned char* raw = g.raw;
    st.lastGeometryRaw = nullptr;
    st.lastGeometry = nullptr;
    st.geometries.erase(raw); // destroys g
    std::free(raw);
    ++st.accounting.geometriesFreed;
    --st.accounting.liveGeometries;
}

unsigned char* newMaterial() {
    auto rec = std::make_unique<MaterialRec>();
    rec->raw = zeroed(game::MaterialSize);
    rec->refs = 1;
    game::setField<std::int16_t>(rec->raw, game::MaterialRefCount, 1);
    unsigned char* raw = rec->raw;
    state().materials.emplace(raw, std::move(rec));
    ++state().accounting.liveMaterials;
    return raw;
}

void nameMaterialTexture(void* material, const std::string& name) {
    auto it = state().materials.find(material);
    if (it == state().materials.end()) return;
    MaterialRec& m = *it->second;
    if (m.texture == nullptr) m.texture = zeroed(game::TextureSize);
    std::memset(m.texture + game::TextureName, 0, game::TextureNameSize);
    std::memcpy(m.texture + game::TextureName, name.data(),
                std::min<std::size_t>(name.size(), game::TextureNameSize - 1));
    game::setField<void*>(m.raw, game::MaterialTexture, m.texture);
}

void releaseMaterial(void* material) {
    State& st = state();
    auto it = st.materials.find(material);
    if (it == st.materials.end()) {
        ++st.accounting.badReleases;
        return;
    }
    MaterialRec& m = *it->second;
    --m.refs;
    game::setField<std::int16_t>(m.raw, game::MaterialRefCount, static_cast<std::int16_t>(m.refs));
    if (m.refs > 0) return;
    std::free(m.texture);
    std::free(m.raw);
    st.materials.erase(it);
    --st.accounting.liveMaterials;
}

bool appendMaterial(GeometryRec& g, void* material, std::int16_t* index) {
    // A material already on the geometry's list is live (the list holds a
    // reference): the game's linear search, before the live-material check.
    for (std::size_t i = 0; i < g.materials.size(); ++i) {
        if (g.materials[i] == material) {
            *index = static_cast<std::int16_t>(i);
            return true;
        }
    }
    State& st = state();
    auto it = st.materials.find(material);
    if (it == st.materials.end()) return false;
    const auto count = static_cast<std::int32_t>(g.materials.size());
    if (count >= 0x7FFF) return false;
    if (count == g.materialCapacity) {
        const std::int32_t capacity = g.materialCapacity + MaterialGrowth;
        unsigned char* table = zeroed(static_cast<std::size_t>(capacity) * 4);
        if (count) std::memcpy(table, g.materialTable, static_cast<std::size_t>(count) * 4);
        std::free(g.materialTable);
        g.materialTable = table;
        g.materialCapacity = capacity;
    }
    game::setPointerField(g.materialTable, static_cast<std::uint32_t>(4 * count), material);
    g.materials.push_back(material);
    ++it->second->refs;
    game::setField<std::int16_t>(it->second->raw, game::MaterialRefCount,
                                 static_cast<std::int16_t>(it->second->refs));
    mirrorMaterials(g);
    *index = static_cast<std::int16_t>(count);
    return true;
}

void freeEverything() {
    State& st = state();
    destroyAllVehicles();
    while (!st.clumps.empty()) destroyClump(static_cast<unsigned char*>(const_cast<void*>(st.clumps.begin()->first)));
    for (auto& [raw, a] : st.atomics) std::free(a->raw);
    st.atomics.clear();
    for (auto& [raw, f] : st.frames) std::free(f->raw);
    st.frames.clear();
    st.framesUnder.clear();
    while (!st.geometries.empty()) {
        GeometryRec& g = *st.geometries.begin()->second;
        game::setField<std::int16_t>(g.raw, game::GeometryRefCount, 1);
        dropGeometry(g);
    }
    for (auto& [raw, m] : st.materials) std::free(m->raw);
    st.materials.clear();
    std::free(st.pool);
    std::free(st.poolStorage);
    std::free(st.poolFlags);
    std::free(st.engine);
    std::free(st.modelInfoTable);
    for (unsigned char* m : st.modelInfos) std::free(m);
    std::free(st.playerPed);
    st.pool = nullptr;
    st.poolStorage = nullptr;
    st.poolFlags = nullptr;
    st.engine = nullptr;
    st.modelInfoTable = nullptr;
    st.modelInfos.clear();
    st.playerPed = nullptr;
    st.playerVehicle = nullptr;
}

// ---- host calls -----------------------------------------------------------------

void* BW_CDECL createGeometryImpl(std::int32_t vertices, std::int32_t triangles, std::uint32_t format) {
    if (failThisUse(HostCall::CreateGeometry)) return nullptr;
    unsigned char* g = newGeometry(vertices, triangles, format);
    if (!g) ++state().accounting.invalidCalls;
    return g;
}

std::int32_t BW_CDECL destroyGeometryImpl(void* geometry) {
    if (failThisUse(HostCall::DestroyGeometry)) return 0;
    GeometryRec* g = findGeometry(geometry);
    if (!g) {
        ++state().accounting.badReleases;
        return 0;
    }
    dropGeometry(*g);
    return 1;
}

void* BW_CDECL lockImpl(void* geometry, std::int32_t mode) {
    if (failThisUse(HostCall::Lock)) return nullptr;
    GeometryRec* g = findGeometry(geometry);
    if (!g) {
        ++state().accounting.invalidCalls;
        return nullptr;
    }
    const auto flags = game::field<std::uint16_t>(g->raw, game::GeometryLockFlags);
    game::setField<std::uint16_t>(g->raw, game::GeometryLockFlags,
                                  static_cast<std::uint16_t>(flags | (mode & 0xFFFF)));
    return geometry;
}

void* BW_CDECL unlockImpl(void* geometry) {
    if (failThisUse(HostCall::Unlock)) return nullptr;
    GeometryRec* g = findGeometry(geometry);
    if (!g) {
        ++state().accounting.invalidCalls;
        return nullptr;
    }
    // The engine builds its render meshes from the triangles here; an index
    // out of range would take it out of bounds.
    const auto materials = static_cast<std::int32_t>(g->materials.size());
    for (std::int32_t t = 0; t < g->triangles && g->triangleArray; ++t) {
        game::Triangle tri;
        std::memcpy(&tri, g->triangleArray + 8 * t, sizeof tri);
        if (tri.vertex[0] >= g->vertices || tri.vertex[1] >= g->vertices ||
            tri.vertex[2] >= g->vertices || tri.material < 0 || tri.material >= materials) {
            ++state().accounting.invalidCalls;
            return nullptr;
        }
    }
    game::setField<std::uint16_t>(g->raw, game::GeometryLockFlags, 0);
    ++g->unlocks;
    return geometry;
}

namespace {
bool triangleOf(const GeometryRec& g, const game::Triangle* triangle) {
    const auto p = reinterpret_cast<std::uintptr_t>(triangle);
    const auto base = reinterpret_cast<std::uintptr_t>(g.triangleArray);
    return g.triangleArray && p >= base && p < base + 8u * static_cast<std::uint32_t>(g.triangles) &&
           (p - base) % 8 == 0;
}
} // namespace

void* BW_CDECL triangleVerticesImpl(void* geometry, game::Triangle* triangle, std::uint16_t v0,
                                    std::uint16_t v1, std::uint16_t v2) {
    if (failThisUse(HostCall::TriangleVertices)) return nullptr;
    GeometryRec* g = findGeometry(geometry);
    if (!g || !triangleOf(*g, triangle)) {
        ++state().accounting.invalidCalls;
        return nullptr;
    }
    const std::uint16_t v[3] = {v0, v1, v2};
    std::memcpy(triangle->vertex, v, sizeof v);
    return geometry;
}

void* BW_CDECL triangleMaterialImpl(void* geometry, game::Triangle* triangle, void* material) {
    if (failThisUse(HostCall::TriangleMaterial)) return nullptr;
    GeometryRec* g = findGeometry(geometry);
    std::int16_t index = 0;
    if (!g || !triangleOf(*g, triangle) || !appendMaterial(*g, material, &index)) {
        ++state().accounting.invalidCalls;
        return nullptr;
    }
    std::memcpy(&triangle->material, &index, sizeof index);
    return geometry;
}

void* BW_CDECL geometrySkinImpl(void* geometry) {
    if (failThisUse(HostCall::GeometrySkin)) return nullptr;
    GeometryRec* g = findGeometry(geometry);
    if (!g) {
        ++state().accounting.invalidCalls;
        return nullptr;
    }
    return g->skin;
}

} // namespace sim::detail
