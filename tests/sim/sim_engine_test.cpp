// The engine model behind the game:: table: geometry records at the host's
// offsets, reference counting as the engine does it, fault injection and the
// accounting that the session checks rely on.

#include <gtest/gtest.h>

#include <cstring>

#include "game/host_functions.h"
#include "sim/host.h"
#include "sim/sim_state.h"

namespace {

template <class T>
T raw(const void* record, std::uint32_t offset) {
    T v;
    std::memcpy(&v, static_cast<const unsigned char*>(record) + offset, sizeof v);
    return v;
}
void* rawPointer(const void* record, std::uint32_t offset) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(raw<std::uint32_t>(record, offset)));
}

// The offsets the plug-in relies on, spelled out once more as numbers.
static_assert(game::GeometryFlags == 0x08 && game::GeometryRefCount == 0x0E);
static_assert(game::GeometryTriangleCount == 0x10 && game::GeometryVertexCount == 0x14);
static_assert(game::GeometryMorphTargetCount == 0x18 && game::GeometryTexCoordSetCount == 0x1C);
static_assert(game::GeometryMaterials == 0x20 && game::GeometryMaterialCount == 0x24);
static_assert(game::GeometryMaterialCapacity == 0x28 && game::GeometryTriangles == 0x2C);
static_assert(game::GeometryPrelit == 0x30 && game::GeometryTexCoords == 0x34);
static_assert(game::MorphPositions == 0x14 && game::MorphNormals == 0x18 && game::MorphTargetSize == 28);
static_assert(game::AtomicFrame == 0x04 && game::AtomicGeometry == 0x18 && game::AtomicBoundingSphere == 0x1C);
static_assert(offsetof(sim::ColPoint, normal) == 0x10 && offsetof(sim::ColPoint, pieceA) == 0x21 &&
              offsetof(sim::ColPoint, pieceB) == 0x23 && sizeof(sim::ColPoint) == 40);

class SimEngine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host.ok()); }
    sim::Host host;
};

TEST_F(SimEngine, CreateGeometryAllocatesWhatItsFormatAnnounces) {
    struct Case {
        std::uint32_t format;
        bool prelit, normals;
        int sets;
    } cases[] = {
        {0x12, false, true, 0},
        {0x02 | 0x08, true, false, 0},
        {0x02 | 0x04 | 0x08 | 0x10, true, true, 1},
        {0x02 | 0x80 | 0x10, false, true, 2},
        {0x02 | 0x80 | (3u << 16), false, false, 3},
    };
    for (const Case& c : cases) {
        void* g = game::createGeometry(40, 20, c.format);
        ASSERT_NE(nullptr, g);
        EXPECT_EQ(c.format & 0xFF, raw<std::uint32_t>(g, 0x08));
        EXPECT_EQ(1, raw<std::int16_t>(g, 0x0E));
        EXPECT_EQ(20, raw<std::int32_t>(g, 0x10));
        EXPECT_EQ(40, raw<std::int32_t>(g, 0x14));
        EXPECT_EQ(1, raw<std::int32_t>(g, 0x18));
        EXPECT_EQ(c.sets, raw<std::int32_t>(g, 0x1C));
        EXPECT_NE(nullptr, rawPointer(g, 0x2C));
        EXPECT_EQ(c.prelit, rawPointer(g, 0x30) != nullptr);
        for (int s = 0; s < 8; ++s) EXPECT_EQ(s < c.sets, rawPointer(g, 0x34 + 4 * s) != nullptr);
        // As the 1.0 executable's engine lays it out: the surface properties
        // at 0x5C with the creation defaults, the morph target behind them.
        EXPECT_EQ(1.0f, raw<float>(g, 0x5C));
        EXPECT_EQ(1.0f, raw<float>(g, 0x60));
        EXPECT_EQ(1.0f, raw<float>(g, 0x64));
        void* morph = rawPointer(g, 0x68);
        ASSERT_NE(nullptr, morph);
        EXPECT_EQ(g, rawPointer(morph, 0x00));
        EXPECT_NE(nullptr, rawPointer(morph, 0x14));
        EXPECT_EQ(c.normals, rawPointer(morph, 0x18) != nullptr);
        EXPECT_EQ(1, game::destroyGeometry(g));
    }
    EXPECT_EQ(0u, host.accounting().liveGeometries);
}

TEST_F(SimEngine, TriangleMaterialReferencesTheMaterialInTheTable) {
    void* g = game::createGeometry(3, 2, 0x12);
    void* m1 = host.createMaterial();
    void* m2 = host.createMaterial();
    auto* tris = static_cast<game::Triangle*>(rawPointer(g, 0x2C));
    ASSERT_EQ(g, game::triangleVertices(g, &tris[0], 0, 1, 2));
    ASSERT_EQ(g, game::triangleMaterial(g, &tris[0], m1));
    ASSERT_EQ(g, game::triangleMaterial(g, &tris[1], m2));
    ASSERT_EQ(g, game::triangleMaterial(g, &tris[1], m1)); // already in the table
    EXPECT_EQ(2, raw<std::int32_t>(g, 0x24));
    EXPECT_GE(raw<std::int32_t>(g, 0x28), 2);
    void* table = rawPointer(g, 0x20);
    EXPECT_EQ(m1, rawPointer(table, 0));
    EXPECT_EQ(m2, rawPointer(table, 4));
    EXPECT_EQ(0, tris[1].material);
    EXPECT_EQ(2, tris[0].vertex[2]);
    EXPECT_EQ(2, host.materialReferences(m1));
    host.releaseMaterial(m1);
    host.releaseMaterial(m2);
    EXPECT_EQ(1, host.materialReferences(m1));
    // The engine cannot build meshes for a triangle outside the vertex range.
    tris[1].vertex[0] = 3;
    EXPECT_EQ(nullptr, game::unlock(g));
    tris[1].vertex[0] = 0;
    EXPECT_EQ(g, game::lock(g, 2));
    EXPECT_EQ(g, game::unlock(g));
    EXPECT_EQ(1u, host.unlocks(g));
    // A triangle pointer outside the geometry is refused.
    game::Triangle stray{};
    EXPECT_EQ(nullptr, game::triangleMaterial(g, &stray, m1));
    game::destroyGeometry(g);
    EXPECT_EQ(0u, host.accounting().liveMaterials);
}

TEST_F(SimEngine, SetGeometryMovesOneReferenceLikeTheEngine) {
    void* frame = host.createFrame("door_lf_hi_ok", nullptr);
    void* a = host.createGeometry(3, 1, 0x12);
    void* b = host.createGeometry(3, 1, 0x12);
    void* atomic = host.createAtomic(frame, a);
    EXPECT_EQ(2, host.references(a));
    EXPECT_EQ(2, raw<std::int16_t>(a, 0x0E));
    EXPECT_EQ(atomic, game::setGeometry(atomic, b, 0));
    EXPECT_EQ(1, host.references(a));
    EXPECT_EQ(2, host.references(b));
    EXPECT_EQ(b, rawPointer(atomic, 0x18));
    EXPECT_EQ(atomic, game::setGeometry(atomic, b, 0)); // the same one: no change
    EXPECT_EQ(2, host.references(b));
    host.releaseGeometry(b);
    host.releaseGeometry(a);
    EXPECT_FALSE(host.isLiveGeometry(a));
    EXPECT_TRUE(host.isLiveGeometry(b));
    EXPECT_TRUE(host.atomicsOnLiveGeometries());
    // A release too many frees the atomic's geometry under it.
    game::destroyGeometry(b);
    EXPECT_FALSE(host.atomicsOnLiveGeometries());
    EXPECT_EQ(0, game::destroyGeometry(b));
    EXPECT_EQ(1u, host.accounting().badReleases);
}

TEST_F(SimEngine, AnyCallFailsOnItsNthUse) {
    host.failOnUse(sim::HostCall::CreateGeometry, 2);
    void* first = game::createGeometry(3, 1, 0x12);
    void* second = game::createGeometry(3, 1, 0x12);
    void* third = game::createGeometry(3, 1, 0x12);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, second);
    EXPECT_NE(nullptr, third);
    EXPECT_EQ(3u, host.uses(sim::HostCall::CreateGeometry));

    void* frame = host.createFrame("bonnet_hi_ok", nullptr);
    host.failOnUse(sim::HostCall::FrameLTM, 1);
    host.failOnUse(sim::HostCall::FrameName, 1);
    EXPECT_EQ(nullptr, game::frameLTM(frame));
    EXPECT_EQ(nullptr, game::frameName(frame));
    EXPECT_NE(nullptr, game::frameLTM(frame));
    EXPECT_STREQ("bonnet_hi_ok", game::frameName(frame));

    host.failOnUse(sim::HostCall::DestroyGeometry, 1);
    EXPECT_EQ(0, game::destroyGeometry(first));
    EXPECT_TRUE(host.isLiveGeometry(first));
    host.failOnUse(sim::HostCall::Lock, 1);
    host.clearFaults();
    EXPECT_NE(nullptr, game::lock(first, 2));
    game::destroyGeometry(first);
    game::destroyGeometry(third);
}

TEST_F(SimEngine, SkinnedGeometryAndCorruptedRecords) {
    void* g = host.createGeometry(3, 1, 0x12);
    EXPECT_EQ(nullptr, game::geometrySkin(g));
    host.makeSkinned(g);
    EXPECT_NE(nullptr, game::geometrySkin(g));

    void* m = host.createMaterial();
    auto* tris = static_cast<game::Triangle*>(rawPointer(g, 0x2C));
    game::triangleMaterial(g, &tris[0], m);
    host.releaseMaterial(m);
    void* other = host.createGeometry(3, 1, 0x12);
    host.setMorphOwner(g, other);
    EXPECT_EQ(other, rawPointer(rawPointer(g, 0x68), 0));
    host.setMaterialEntry(g, 0, 0x12345); // misaligned
    EXPECT_EQ(0x12345u, raw<std::uint32_t>(rawPointer(g, 0x20), 0));
    // The engine would free through the bad table: counted, yet the host's
    // own truth still frees the material.
    host.releaseGeometry(g);
    EXPECT_EQ(1u, host.accounting().unsafeReleases);
    EXPECT_EQ(0u, host.accounting().liveMaterials);

    host.setMaterialTable(other, 0, 129, 4097);
    EXPECT_EQ(129, raw<std::int32_t>(other, 0x24));
    EXPECT_EQ(4097, raw<std::int32_t>(other, 0x28));
    host.releaseGeometry(other);
    EXPECT_EQ(2u, host.accounting().unsafeReleases);
    EXPECT_EQ(0u, host.accounting().liveGeometries);
}

TEST(SimMorphLayout, PointerSitsWhereTheLayoutSays) {
    struct Case {
        sim::MorphLayout layout;
        bool at5C, at68, surface;
        std::uint32_t offset; // what the probe must find
    } cases[] = {{sim::MorphLayout::At5C, true, false, false, 0x5C},
                 {sim::MorphLayout::At68, false, true, true, 0x68},
                 {sim::MorphLayout::Both, true, true, false, 0x68},
                 {sim::MorphLayout::Neither, false, false, false, 0}};
    for (const Case& c : cases) {
        sim::HostOptions options;
        options.morphLayout = c.layout;
        sim::Host host(options);
        ASSERT_TRUE(host.ok());
        void* g = game::createGeometry(3, 1, 0x12);
        void* morph = sim::detail::findGeometry(g)->morph;
        EXPECT_EQ(c.at5C, rawPointer(g, 0x5C) == morph);
        EXPECT_EQ(c.at68, rawPointer(g, 0x68) == morph);
        EXPECT_EQ(c.offset, host.morphOffset());
        // Surface properties only where the pointer sits behind them; a
        // vehicle's values replace the creation defaults there.
        host.setSurface(g, sim::VehicleSurface);
        EXPECT_EQ(c.surface, raw<float>(g, 0x5C) == sim::VehicleSurface.ambient);
        EXPECT_EQ(c.surface, raw<float>(g, 0x64) == sim::VehicleSurface.diffuse);
        game::destroyGeometry(g);
    }
}

TEST_F(SimEngine, FramesComposeWorldMatricesAndAtomicsWalkInOrder) {
    void* root = host.createFrame("car", nullptr, sim::Matrix::yaw(90, {10, 0, 0}));
    void* child = host.createFrame("door_lf_dummy", root, sim::Matrix::identity({1, 0, 0}));
    const auto* m = static_cast<const float*>(game::frameLTM(child));
    ASSERT_NE(nullptr, m);
    // The child's x offset turns with the parent: (10, 1, 0).
    EXPECT_NEAR(10.0f, m[12], 1e-5f);
    EXPECT_NEAR(1.0f, m[13], 1e-5f);
    EXPECT_EQ(root, rawPointer(child, 0x04));

    void* clump = host.createRenderObject(root);
    EXPECT_EQ(root, rawPointer(clump, 0x04));
    void* a1 = host.createAtomic(child, nullptr, 1);
    void* a2 = host.createAtomic(child, nullptr, 2);
    host.addAtomic(clump, a1);
    host.addAtomic(clump, a2);
    EXPECT_EQ(2u, game::atomicFlags(a2));
    struct Seen {
        void* list[4];
        int n;
    } seen{{}, 0};
    auto visit = [](void* atomic, void* data) -> void* {
        auto* s = static_cast<Seen*>(data);
        s->list[s->n++] = atomic;
        return atomic;
    };
    EXPECT_EQ(clump, game::atomics(clump, visit, &seen));
    ASSERT_EQ(2, seen.n);
    EXPECT_EQ(a1, seen.list[0]);
    EXPECT_EQ(a2, seen.list[1]);
    // A callback returning null ends the walk, as the engine's does.
    seen.n = 0;
    auto stop = [](void* atomic, void* data) -> void* {
        ++static_cast<Seen*>(data)->n;
        (void)atomic;
        return nullptr;
    };
    game::atomics(clump, stop, &seen);
    EXPECT_EQ(1, seen.n);
}

TEST_F(SimEngine, WildRecordsAreRefusedAndCounted) {
    // The real engine would fault on these; the model refuses and counts them,
    // so a test can assert the plug-in never handed the host a bad record.
    unsigned char junk[128] = {};
    void* wild = junk;
    EXPECT_EQ(nullptr, game::frameName(wild));
    EXPECT_EQ(nullptr, game::frameLTM(wild));
    EXPECT_EQ(nullptr, game::lock(wild, 2));
    EXPECT_EQ(nullptr, game::unlock(wild));
    EXPECT_EQ(nullptr, game::geometrySkin(wild));
    EXPECT_EQ(nullptr, game::setGeometry(wild, nullptr, 0));
    EXPECT_EQ(0u, game::atomicFlags(wild));
    EXPECT_EQ(-1, game::vehicleRef(wild));
    EXPECT_EQ(8u, host.accounting().invalidCalls);
    EXPECT_EQ(0, game::destroyGeometry(wild));
    EXPECT_EQ(1u, host.accounting().badReleases);

    // Counts and pointers in a record corrupted on purpose do not change what
    // the host frees: its own allocations are the truth.
    void* g = game::createGeometry(30, 10, 0x1A);
    game::setField<std::int32_t>(g, game::GeometryVertexCount, 30001);
    game::setField<std::int32_t>(g, game::GeometryTriangleCount, -1);
    game::setPointerField(g, game::GeometryTriangles, junk);
    game::setPointerField(g, game::GeometryPrelit, nullptr);
    EXPECT_EQ(1, game::destroyGeometry(g));
    EXPECT_EQ(0u, host.accounting().liveGeometries);
}

} // namespace
