// The rebuild of a bonnet or boot into a two-sided creased panel, and the
// recognition of panels by frame name, on the substitute host.
#include "mesh/crease_topology.h"
#include "mesh/panel_setup.h"

#include "../game/sim_fixture.h"
#include "dent/panel_split.h"
#include "game/host_layout.h"
#include "sim/sim_state.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

// A flat or tilted panel: an nx x ny grid over x0 .. x0 + width and
// y0 .. y0 + length, z rising by `height` along y. Colours and texture
// coordinates are linear in position, so cut vertices can be checked.
struct PanelDesc {
    float width = 1.6f, length = 1.2f, height = 0.0f;
    int nx = 8, ny = 6;
    float x0 = -0.8f, y0 = 0.0f;
    dent::Vec normal{0.0f, 0.0f, 2.0f};
    bool normals = true, prelit = true;
    int sets = 1;
    int repeatTriangles = 0; // extra copies of the first triangle
};

class Crease : public guardtest::SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        game::morphOffset = host->morphOffset();
        paint = host->createMaterial();
        glass = host->createMaterial();
    }
    void TearDown() override {
        for (void* g : made)
            host->releaseGeometry(g);
        host->releaseMaterial(paint);
        host->releaseMaterial(glass);
        const sim::Accounting a = host->accounting();
        EXPECT_EQ(a.liveGeometries, 0u);
        EXPECT_EQ(a.badReleases, 0u);
        EXPECT_EQ(a.unsafeReleases, 0u);
        EXPECT_EQ(a.invalidCalls, 0u);
        SimTest::TearDown();
    }

    void* makePanel(const PanelDesc& s) {
        std::uint32_t flags = game::FormatTriStrip | game::FormatPositions | game::FormatLight |
                              (s.sets >= 2 ? game::FormatTexCoords2 : game::FormatTexCoords1);
        if (s.normals) flags |= game::FormatNormals;
        if (s.prelit) flags |= game::FormatPrelit;
        const int v = (s.nx + 1) * (s.ny + 1), t = 2 * s.nx * s.ny + s.repeatTriangles;
        void* raw = host->createGeometry(
            v, t, flags | (std::uint32_t(s.sets) << game::FormatTexCoordShift));
        sim::detail::GeometryRec* g = sim::detail::findGeometry(raw);
        host->setSurface(raw, sim::VehicleSurface);
        for (int j = 0, k = 0; j <= s.ny; ++j)
            for (int i = 0; i <= s.nx; ++i, ++k) {
                const float fx = float(i) / float(s.nx), fy = float(j) / float(s.ny);
                const dent::Vec p{s.x0 + s.width * fx, s.y0 + s.length * fy, s.height * fy};
                std::memcpy(g->positions + 12 * k, &p, 12);
                if (g->normals) std::memcpy(g->normals + 12 * k, &s.normal, 12);
                if (g->prelit) {
                    const unsigned char c[4] = {std::uint8_t(10 + 10 * i),
                                                std::uint8_t(20 + 10 * j), 200, 255};
                    std::memcpy(g->prelit + 4 * k, c, 4);
                }
                for (int set = 0; set < s.sets; ++set) {
                    const float uv[2] = {fx * float(set + 1), fy};
                    std::memcpy(g->texCoords[set] + 8 * k, uv, 8);
                }
            }
        int n = 0;
        auto triangle = [&](int a, int b, int c, void* material) {
            game::Triangle tri{{std::uint16_t(a), std::uint16_t(b), std::uint16_t(c)}, 0};
            sim::detail::appendMaterial(*g, material, &tri.material);
            std::memcpy(g->triangleArray + 8 * n++, &tri, 8);
        };
        for (int j = 0; j < s.ny; ++j)
            for (int i = 0; i < s.nx; ++i) {
                const int a = j * (s.nx + 1) + i, c = a + s.nx + 1;
                triangle(a, a + 1, c + 1, paint);
                triangle(a, c + 1, c, (i + j) % 3 == 0 ? glass : paint);
            }
        for (int r = 0; r < s.repeatTriangles; ++r)
            triangle(0, 1, s.nx + 2, paint);
        const float sphere[4] = {0.0f, s.y0 + 0.5f * s.length, 0.0f, 2.0f};
        std::memcpy(g->morph + game::MorphBoundingSphere, sphere, 16);
        made.push_back(raw);
        return raw;
    }

    static game::PanelState panelOf(std::int32_t kind, bool damaged = false) {
        game::PanelState p;
        p.kind = kind;
        p.damaged = damaged;
        p.shape.sign = kind == 1 ? 1.0f : -1.0f;
        p.shape.crease = 0.45f;
        return p;
    }

    void* build(void* source, game::PanelState& panel) {
        void* g = mesh::buildCreaseTopology(source, panel);
        if (g != nullptr) made.push_back(g);
        return g;
    }

    static const dent::Vec* arrayAt(const void* g, std::uint32_t field) {
        return static_cast<const dent::Vec*>(
            game::pointerField(game::morphTarget(g, game::morphOffset), field));
    }

    void* paint = nullptr;
    void* glass = nullptr;
    std::vector<void*> made;
};

TEST_F(Crease, RebuildsEveryPieceTwoSidedWithItsOwnVertices) {
    struct Case {
        const char* what;
        std::int32_t kind;
        float y0;
        int sets;
        bool normals, prelit;
        dent::Vec normal, expectedNormal;
    } cases[] = {
        {"bonnet", 1, 0.0f, 1, true, true, {0, 0, 2}, {0, 0, 1}},
        {"boot, two sets", 2, -0.9f, 2, true, true, {0, 0, 2}, {0, 0, 1}},
        {"normal too short", 1, 0.0f, 1, true, false, {1e-6f, 0, 0}, {0, 0, 0}},
        {"bare", 2, -0.9f, 1, false, false, {0, 0, 1}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PanelDesc desc;
        desc.y0 = c.y0;
        desc.sets = c.sets;
        desc.normals = c.normals;
        desc.prelit = c.prelit;
        desc.normal = c.normal;
        void* source = makePanel(desc);
        game::PanelState panel = panelOf(c.kind);
        const std::int32_t counted = mesh::creaseVertexCount(source, panel);
        const sim::Accounting before = host->accounting();
        void* g = build(source, panel);
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(counted, game::vertexCount(g)) << "counted as built";
        EXPECT_EQ(host->accounting().geometriesCreated, before.geometriesCreated + 1);
        EXPECT_EQ(host->unlocks(g), 1u);

        const float sign = panel.shape.sign;
        const float lowS = sign > 0 ? desc.y0 : -(desc.y0 + desc.length);
        EXPECT_FLOAT_EQ(panel.shape.start, lowS);
        EXPECT_FLOAT_EQ(panel.shape.length, desc.length);
        EXPECT_FLOAT_EQ(panel.fold.from, desc.x0);
        EXPECT_FLOAT_EQ(panel.fold.to, desc.x0 + desc.width);
        EXPECT_EQ(panel.fold.columns, 6u);
        EXPECT_FLOAT_EQ(panel.fold.nearEdge[6].y, sign * lowS);
        EXPECT_FLOAT_EQ(panel.fold.farEdge[0].y, (lowS + desc.length) * sign);
        EXPECT_EQ(panel.lattice.columnXs.size(), 7u);

        const std::int32_t n = game::triangleCount(g) / 2;
        ASSERT_GT(n, 2 * desc.nx * desc.ny) << "the crease and the lattice cut the panel";
        EXPECT_EQ(game::vertexCount(g), 3 * n);
        EXPECT_EQ(panel.sides.size(), std::size_t(3 * n));
        EXPECT_EQ(game::geometryFlags(g) & 0xFFu, game::geometryFlags(source) & 0xFEu);
        EXPECT_EQ(game::texCoordSetCount(g), c.sets);
        EXPECT_EQ(std::memcmp(game::bytesAt(game::morphTarget(g, game::morphOffset),
                                            game::MorphBoundingSphere),
                              game::bytesAt(game::morphTarget(source, game::morphOffset),
                                            game::MorphBoundingSphere),
                              16),
                  0);
        const game::SurfaceProperties lit = game::surfaceProperties(g);
        EXPECT_EQ(std::memcmp(&lit, &sim::VehicleSurface, sizeof lit), 0) << "lit as its source";

        const auto* faces = static_cast<const game::Triangle*>(game::triangles(g));
        const dent::Vec* p = arrayAt(g, game::MorphPositions);
        const dent::Vec* normals = arrayAt(g, game::MorphNormals);
        const auto* prelit = static_cast<const unsigned char*>(game::prelitColours(g));
        EXPECT_EQ(normals != nullptr, c.normals);
        EXPECT_EQ(prelit != nullptr, c.prelit);
        const float creaseS = panel.shape.start + panel.shape.length * panel.shape.crease;
        double area = 0.0;
        for (std::int32_t k = 0; k < n; ++k) {
            const game::Triangle& front = faces[2 * k];
            const game::Triangle& back = faces[2 * k + 1];
            const std::uint16_t a = std::uint16_t(3 * k);
            ASSERT_TRUE(front.vertex[0] == a && front.vertex[1] == a + 1 &&
                        front.vertex[2] == a + 2)
                << k;
            ASSERT_TRUE(back.vertex[0] == a && back.vertex[1] == a + 2 && back.vertex[2] == a + 1)
                << k;
            ASSERT_EQ(front.material, back.material) << k;
            const dent::Vec e1 = p[a + 1] - p[a], e2 = p[a + 2] - p[a];
            area += 0.5 * std::fabs(double(e1.x) * e2.y - double(e1.y) * e2.x);
        }
        EXPECT_NEAR(area, double(desc.width) * desc.length, 1e-4);
        const float* uv = static_cast<const float*>(game::texCoords(g, c.sets - 1));
        for (std::int32_t v = 0; v < 3 * n; ++v) {
            const float s = sign * p[v].y;
            if (s < creaseS - 1e-5f || s > creaseS + 1e-5f) {
                EXPECT_EQ(panel.sides[v], s > creaseS ? 1 : 0) << v;
            }
            const float fx = (p[v].x - desc.x0) / desc.width, fy = (p[v].y - desc.y0) / desc.length;
            EXPECT_NEAR(uv[2 * v], fx * float(c.sets), 1e-5f) << v;
            EXPECT_NEAR(uv[2 * v + 1], fy, 1e-5f) << v;
            if (normals != nullptr) {
                EXPECT_NEAR(dent::length(normals[v] - c.expectedNormal), 0.0f, 1e-6f) << v;
            }
            if (prelit != nullptr) {
                EXPECT_NEAR(prelit[4 * v], 10.0f + 10.0f * desc.nx * fx, 0.51f) << v;
                EXPECT_NEAR(prelit[4 * v + 1], 20.0f + 10.0f * desc.ny * fy, 0.51f) << v;
                EXPECT_EQ(prelit[4 * v + 3], 255) << v;
            }
        }
    }
}

TEST_F(Crease, BoundsDecideWhichPanelsAreRebuilt) {
    struct Case {
        const char* what;
        std::int32_t kind;
        bool damaged;
        float width, length, height;
        const char* line; // nullptr: rebuilt; "": refused without a line
    } cases[] = {
        {"height 0.75 x length", 1, false, 1.0f, 1.0f, 0.75f, nullptr},
        {"just taller", 1, false, 1.0f, 1.0f, 0.76f,
         "PanelBounds: kind=bonnet damaged=0 length=1.0000 height=0.7600 rejected"},
        {"damaged 1.1 x length", 2, true, 1.0f, 1.0f, 1.1f, nullptr},
        {"damaged taller", 2, true, 1.0f, 1.0f, 1.12f,
         "PanelBounds: kind=boot damaged=1 length=1.0000 height=1.1200 rejected"},
        {"length 0.25", 1, false, 1.0f, 0.25f, 0.0f, nullptr},
        {"length 3.5", 2, false, 1.0f, 3.5f, 0.0f, nullptr},
        {"too short", 2, false, 1.0f, 0.24f, 0.0f,
         "PanelBounds: kind=boot damaged=0 length=0.2400 height=0.0000 rejected"},
        {"too long", 1, false, 1.0f, 3.6f, 0.0f,
         "PanelBounds: kind=bonnet damaged=0 length=3.6000 height=0.0000 rejected"},
        {"too narrow", 1, false, 0.015f, 1.0f, 0.0f, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PanelDesc desc;
        desc.width = c.width;
        desc.length = c.length;
        desc.height = c.height;
        desc.y0 = c.kind == 1 ? 0.0f : -c.length;
        void* source = makePanel(desc);
        game::PanelState panel = panelOf(c.kind, c.damaged);
        const std::size_t linesBefore = logLines().size();
        const std::uint32_t created = host->accounting().geometriesCreated;
        // Worked out without building: the same answer, nothing logged or made.
        const bool shapeAccepted = mesh::creaseShapeAccepted(source, panel);
        const std::int32_t vertices = mesh::creaseVertexCount(source, panel);
        EXPECT_EQ(logLines().size(), linesBefore);
        EXPECT_EQ(host->accounting().geometriesCreated, created);
        void* g = build(source, panel);
        EXPECT_EQ(g != nullptr, c.line == nullptr);
        EXPECT_EQ(shapeAccepted, g != nullptr);
        EXPECT_EQ(vertices, g != nullptr ? game::vertexCount(g) : 0);
        const auto lines = logLines();
        if (c.line == nullptr || c.line[0] == '\0') {
            EXPECT_EQ(lines.size(), linesBefore);
        } else {
            ASSERT_EQ(lines.size(), linesBefore + 1);
            EXPECT_EQ(lines.back(), c.line);
        }
        if (g == nullptr) {
            EXPECT_EQ(host->accounting().geometriesCreated, created);
        }
    }
}

TEST_F(Crease, RefusalsBeforeCreationMakeNothing) {
    struct Case {
        const char* what;
        int repeat;
        int corrupt; // 0 none, 1 a NaN coordinate, 2 an index past the vertices, 3 skinned
        bool boundsLine;
    } cases[] = {
        {"10001 source triangles", 10001 - 2 * 4 * 4, 0, true},
        {"pieces past 10000", 9000, 0, false},
        {"coordinate not finite", 0, 1, false},
        {"index past the vertices", 0, 2, false},
        {"skinned", 0, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PanelDesc desc;
        desc.nx = desc.ny = 4;
        desc.repeatTriangles = c.repeat;
        void* source = makePanel(desc);
        sim::detail::GeometryRec* rec = sim::detail::findGeometry(source);
        if (c.corrupt == 1) {
            const float nan = std::numeric_limits<float>::quiet_NaN();
            std::memcpy(rec->positions + 12 * 3 + 8, &nan, 4);
        } else if (c.corrupt == 2) {
            const std::uint16_t past = std::uint16_t(game::vertexCount(source));
            std::memcpy(rec->triangleArray + 8 * 5 + 2, &past, 2);
        } else if (c.corrupt == 3) {
            host->makeSkinned(source);
        }
        game::PanelState panel = panelOf(1);
        const std::uint32_t created = host->accounting().geometriesCreated;
        const int bounds =
            countLog("PanelBounds: kind=bonnet damaged=0 length=1.2000 height=0.0000 rejected");
        EXPECT_EQ(build(source, panel), nullptr);
        EXPECT_EQ(host->accounting().geometriesCreated, created);
        EXPECT_EQ(
            countLog("PanelBounds: kind=bonnet damaged=0 length=1.2000 height=0.0000 rejected"),
            bounds + (c.boundsLine ? 1 : 0));
        if (c.repeat == 9000) {
            // The case is real: the repeated triangle is cut in pieces, so
            // the source's 9032 triangles make more than 10000.
            const auto* tris = static_cast<const game::Triangle*>(game::triangles(source));
            const dent::Vec* p = arrayAt(source, game::MorphPositions);
            dent::PanelTriangle pt{};
            for (int j = 0; j < 3; ++j)
                pt.vertices[j].position = p[tris[game::triangleCount(source) - 1].vertex[j]];
            const std::size_t pieces =
                dent::splitPanelLattice(pt, panel.shape, panel.fold, panel.lattice).size();
            EXPECT_GE(pieces, 2u);
        }
        if (c.corrupt == 2) {
            const std::uint16_t zero = 0;
            std::memcpy(rec->triangleArray + 8 * 5 + 2, &zero, 2);
        }
    }
}

// Each host call the build makes, failing in turn, and the checks after the
// last call: whatever was created is released and no material reference
// stays behind. The material table test is failed by emptying the new
// geometry's table after its unlock; the release puts it back, so that the
// host frees it as it would a sound one.
game::UnlockFn hostUnlock = nullptr;
game::DestroyGeometryFn hostDestroy = nullptr;
void* emptied = nullptr;
std::int32_t emptiedCount = 0;
void* BW_CDECL unlockThenEmptyTable(void* geometry) {
    void* r = hostUnlock(geometry);
    emptied = geometry;
    emptiedCount = game::materialCount(geometry);
    game::setField<std::int32_t>(geometry, game::GeometryMaterialCount, 0);
    return r;
}
std::int32_t BW_CDECL destroyRestoringTable(void* geometry) {
    if (geometry == emptied)
        game::setField<std::int32_t>(geometry, game::GeometryMaterialCount, emptiedCount);
    return hostDestroy(geometry);
}

TEST_F(Crease, EveryFailureAfterCreationReleasesTheNewGeometry) {
    PanelDesc desc;
    void* source = makePanel(desc);
    game::PanelState probe = panelOf(1);
    void* good = build(source, probe);
    ASSERT_NE(good, nullptr);
    const std::uint32_t faces = std::uint32_t(game::triangleCount(good));
    const sim::Accounting start = host->accounting();
    const std::int32_t paintRefs = host->materialReferences(paint);

    struct Case {
        sim::HostCall call;
        std::uint32_t nth;
        bool corruptTable;
        bool badMaterial;
    } cases[] = {
        {sim::HostCall::CreateGeometry, 1, false, false},
        {sim::HostCall::TriangleVertices, 1, false, false},
        {sim::HostCall::TriangleVertices, 2, false, false},
        {sim::HostCall::TriangleVertices, faces, false, false},
        {sim::HostCall::TriangleMaterial, 1, false, false},
        {sim::HostCall::TriangleMaterial, faces, false, false},
        {sim::HostCall::Unlock, 1, false, false},
        {sim::HostCall::Count, 0, true, false},
        {sim::HostCall::Count, 0, false, true},
    };
    sim::detail::GeometryRec* rec = sim::detail::findGeometry(source);
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.call));
        SCOPED_TRACE(c.nth);
        if (c.call != sim::HostCall::Count) host->failOnUse(c.call, c.nth);
        if (c.corruptTable) {
            hostUnlock = game::unlock;
            hostDestroy = game::destroyGeometry;
            game::unlock = &unlockThenEmptyTable;
            game::destroyGeometry = &destroyRestoringTable;
        }
        std::int16_t kept = 0;
        if (c.badMaterial) {
            std::memcpy(&kept, rec->triangleArray + 8 * 7 + 6, 2);
            const std::int16_t past = std::int16_t(game::materialCount(source));
            std::memcpy(rec->triangleArray + 8 * 7 + 6, &past, 2);
        }
        game::PanelState panel = panelOf(1);
        EXPECT_EQ(build(source, panel), nullptr);
        host->clearFaults();
        if (c.corruptTable) {
            game::unlock = hostUnlock;
            game::destroyGeometry = hostDestroy;
        }
        if (c.badMaterial) std::memcpy(rec->triangleArray + 8 * 7 + 6, &kept, 2);
        const sim::Accounting a = host->accounting();
        EXPECT_EQ(a.liveGeometries, start.liveGeometries);
        EXPECT_EQ(a.invalidCalls, 0u);
        EXPECT_EQ(host->materialReferences(paint), paintRefs);
    }
    EXPECT_EQ(countLog("MaterialGuard: invalid panel material table; rejected."), 1);
}

TEST(PanelColour, RoundsHalvesAwayFromZeroAndClamps) {
    const struct {
        float in;
        int out;
    } cases[] = {{254.5f, 255},
                 {255.6f, 255},
                 {-3.0f, 0},
                 {0.49f, 0},
                 {127.5f, 128},
                 {-0.5f, 0},
                 {std::numeric_limits<float>::quiet_NaN(), 0}};
    for (const auto& c : cases)
        EXPECT_EQ(mesh::panelColourByte(c.in), c.out) << c.in;
}

TEST_F(Crease, ClassifiesByNamePrefixOverAtMost24Frames) {
    struct Case {
        const char* leaf;
        const char* above; // the name of the topmost frame
        int chain;         // frames above the leaf
        std::int32_t kind;
    } cases[] = {
        {"BonNet_hi_ok", "boot", 1, 1}, {"HOOD", "x", 1, 1},       {"boot_hi_dam", "x", 1, 2},
        {"Trunk", "x", 1, 2},           {"myboot", "x", 1, 0},     {"myboot", "bonnet_dummy", 1, 1},
        {"", "trunk_dummy", 1, 2},      {"door", "bonnet", 23, 1}, {"door", "bonnet", 24, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.leaf);
        SCOPED_TRACE(c.chain);
        void* parent = nullptr;
        for (int i = c.chain; i >= 1; --i)
            parent = host->createFrame(i == c.chain ? c.above : "link", parent);
        void* leaf = host->createFrame(c.leaf, parent);
        EXPECT_EQ(mesh::classifyPanel(leaf), c.kind);
    }
}

} // namespace
