#include "game/buffer_guard.h"

#include "guard_pages.h"
#include "hostile_geometry.h"

#include <gtest/gtest.h>

#include <functional>

using game::cpuBufferGuard;
using guardtest::GeometryDesc;
using guardtest::HandGeometry;
using guardtest::Pages;

namespace {

struct Case {
    const char* what;
    GeometryDesc desc;
    std::function<void(HandGeometry&)> spoil;
    bool passes;
};

} // namespace

TEST(CpuBufferGuard, CountsFlagsAndBuffers) {
    Pages pages(1);
    ASSERT_TRUE(pages.ok());
    ASSERT_TRUE(pages.protect(0, PROT_NONE));
    const void* noAccess = pages.page(0);

    GeometryDesc maxVertices;
    maxVertices.vertices = 30000;
    GeometryDesc tooManyVertices;
    tooManyVertices.vertices = 30001;
    GeometryDesc maxTriangles;
    maxTriangles.triangles = 60000;
    GeometryDesc eightSets;
    eightSets.texSets = 8;
    GeometryDesc noSets;
    noSets.texSets = 0;
    GeometryDesc bare;
    bare.normals = false;
    bare.prelit = false;
    GeometryDesc at68;
    at68.morphOffset = 0x68;

    const Case cases[] = {
        {"ordinary geometry", {}, nullptr, true},
        {"30000 vertices", maxVertices, nullptr, true},
        {"30001 vertices", tooManyVertices, nullptr, false},
        {"0 vertices", {}, [](HandGeometry& g) { g.set<std::int32_t>(game::GeometryVertexCount, 0); }, false},
        {"negative vertices", {}, [](HandGeometry& g) { g.set<std::int32_t>(game::GeometryVertexCount, -3); }, false},
        {"60000 triangles", maxTriangles, nullptr, true},
        {"60001 triangles", {}, [](HandGeometry& g) { g.set<std::int32_t>(game::GeometryTriangleCount, 60001); }, false},
        {"0 triangles", {}, [](HandGeometry& g) { g.set<std::int32_t>(game::GeometryTriangleCount, 0); }, false},
        {"no morph target", {}, [](HandGeometry& g) { g.set<std::int32_t>(game::GeometryMorphTargetCount, 0); }, false},
        {"two morph targets", {}, [](HandGeometry& g) { g.set<std::int32_t>(game::GeometryMorphTargetCount, 2); }, false},
        {"eight UV sets", eightSets, nullptr, true},
        {"no UV set", noSets, nullptr, true},
        {"nine UV sets", eightSets, [](HandGeometry& g) { g.set<std::int32_t>(game::GeometryTexCoordSetCount, 9); }, false},
        {"negative UV sets", {}, [](HandGeometry& g) { g.set<std::int32_t>(game::GeometryTexCoordSetCount, -1); }, false},
        {"UV set pointer null", {}, [](HandGeometry& g) { g.setPointer(game::GeometryTexCoords, nullptr); }, false},
        {"flag bit 24", {}, [](HandGeometry& g) { g.set<std::uint8_t>(game::GeometryFlagsHighByte, 0x01); }, false},
        {"flag bit 25", {}, [](HandGeometry& g) { g.set<std::uint8_t>(game::GeometryFlagsHighByte, 0x02); }, false},
        {"no normals, no normal flag", bare, nullptr, true},
        {"no normals, normal flag set", bare, [](HandGeometry& g) { g.set<std::uint32_t>(game::GeometryFlags, game::FormatPositions | game::FormatNormals); }, false},
        {"no prelit, prelit flag set", bare, [](HandGeometry& g) { g.set<std::uint32_t>(game::GeometryFlags, game::FormatPositions | game::FormatPrelit); }, false},
        {"positions null", {}, [](HandGeometry& g) { g.setMorph(game::MorphPositions, nullptr); }, false},
        {"positions unreadable", {}, [noAccess](HandGeometry& g) { g.setMorph(game::MorphPositions, noAccess); }, false},
        {"normals unreadable", {}, [noAccess](HandGeometry& g) { g.setMorph(game::MorphNormals, noAccess); }, false},
        {"triangles unreadable", {}, [noAccess](HandGeometry& g) { g.setPointer(game::GeometryTriangles, noAccess); }, false},
        {"triangles wild small pointer", {}, [](HandGeometry& g) { g.set<std::uint32_t>(game::GeometryTriangles, 0x1234); }, false},
        {"prelit unreadable", {}, [noAccess](HandGeometry& g) { g.setPointer(game::GeometryPrelit, noAccess); }, false},
        {"morph target null", {}, [](HandGeometry& g) { g.setPointer(0x5C, nullptr); }, false},
        {"morph target unreadable", {}, [noAccess](HandGeometry& g) { g.setPointer(0x5C, noAccess); }, false},
        {"morph target owned by another geometry", {}, [](HandGeometry& g) { g.setMorph(game::MorphParent, g.morph()); }, false},
        {"morph target at the other offset", at68, nullptr, false},
    };
    for (const Case& c : cases) {
        HandGeometry g(c.desc);
        if (c.spoil) c.spoil(g);
        EXPECT_EQ(cpuBufferGuard(g.record(), 0x5C), c.passes) << c.what;
    }
}

TEST(CpuBufferGuard, RefusesImplausibleRecordsAndOffsets) {
    HandGeometry g;
    EXPECT_TRUE(cpuBufferGuard(g.record(), 0x5C));
    EXPECT_FALSE(cpuBufferGuard(g.record(), 0)) << "layout not found yet";
    EXPECT_FALSE(cpuBufferGuard(nullptr, 0x5C));
    EXPECT_FALSE(cpuBufferGuard(reinterpret_cast<void*>(0xFFF0), 0x5C));
    EXPECT_FALSE(cpuBufferGuard(reinterpret_cast<void*>(UINTPTR_MAX - 0x40), 0x5C));
    EXPECT_FALSE(cpuBufferGuard(g.record(), UINT32_MAX - 2)) << "offset that wraps";
}

TEST(CpuBufferGuard, RecordAtTheEdgeOfReadableMemory) {
    // The header's last 0x60 bytes fill the end of a page; the next page is
    // inaccessible, so the 0x68 candidate's pointer word is unreadable.
    Pages pages(2);
    ASSERT_TRUE(pages.ok());
    unsigned char* header = pages.tail(0, 0x60);
    ASSERT_TRUE(pages.protect(1, PROT_NONE));
    HandGeometry g(GeometryDesc{}, header);
    EXPECT_TRUE(cpuBufferGuard(g.record(), 0x5C));
    EXPECT_FALSE(cpuBufferGuard(g.record(), 0x68));

    // A valid header whose 84 bytes run into the inaccessible page: the
    // guard must refuse it before reading the morph-target pointer.
    Pages cut(2);
    ASSERT_TRUE(cut.ok());
    ASSERT_TRUE(cut.protect(1, PROT_NONE));
    HandGeometry whole;
    unsigned char* part = cut.tail(0, game::GeometryHeaderSize - 4);
    std::memcpy(part, whole.record(), game::GeometryHeaderSize - 4);
    EXPECT_FALSE(cpuBufferGuard(part, 0x5C));
}
