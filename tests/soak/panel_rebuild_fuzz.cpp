// Seeded random driver of the panel rebuild: bonnet- and boot-like meshes
// with random density, warp, holes, repeated and collapsed triangles, far or
// non-finite points and missing attributes go through the creased rebuild.
// Each rebuild is refused (nothing left behind) or yields a well-formed,
// two-sided panel; the host's accounting stays clean throughout.
// BW_PANEL_FUZZ_ITERATIONS and BW_PANEL_FUZZ_SEED lengthen or vary the run.

#include "mesh/crease_topology.h"

#include "random.h"
#include "sim_fixture.h"
#include "game/host_layout.h"
#include "sim/sim_state.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    return (end != nullptr && *end == '\0') ? v : fallback;
}

class PanelRebuild : public guardtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        game::morphOffset = host->morphOffset();
        for (auto& m : materials) m = host->createMaterial();
    }
    void TearDown() override {
        for (void* m : materials) host->releaseMaterial(m);
        const sim::Accounting a = host->accounting();
        EXPECT_EQ(a.liveGeometries, 0u);
        EXPECT_EQ(a.badReleases, 0u);
        EXPECT_EQ(a.unsafeReleases, 0u);
        EXPECT_EQ(a.invalidCalls, 0u);
        SimTest::TearDown();
    }

    // A random panel-like mesh; `finiteInput` tells whether every position is finite.
    void* randomPanel(soak::Random& rng, bool& finiteInput) {
        const int nx = 1 + static_cast<int>(rng.below(12)), ny = 1 + static_cast<int>(rng.below(10));
        const int sets = 1 + static_cast<int>(rng.below(2));
        const bool normals = !rng.chance(4), prelit = !rng.chance(3);
        std::uint32_t flags = game::FormatTriStrip | game::FormatPositions | game::FormatLight |
                              (sets == 2 ? game::FormatTexCoords2 : game::FormatTexCoords1);
        if (normals) flags |= game::FormatNormals;
        if (prelit) flags |= game::FormatPrelit;
        const int vertices = (nx + 1) * (ny + 1);
        const int extra = rng.chance(4) ? static_cast<int>(rng.below(40)) : 0;
        const int triangles = rng.chance(30) ? 0 : 2 * nx * ny - static_cast<int>(rng.below(nx * ny / 2 + 1)) + extra;
        void* raw = host->createGeometry(vertices, triangles,
                                         flags | (std::uint32_t(sets) << game::FormatTexCoordShift));
        sim::detail::GeometryRec* g = sim::detail::findGeometry(raw);
        const float width = rng.chance(20) ? rng.uniform(0, 1e-5f) : rng.uniform(0.2f, 2.5f);
        const float length = rng.chance(20) ? rng.uniform(0, 1e-5f) : rng.uniform(0.2f, 2.0f);
        const float y0 = rng.uniform(-2.5f, 1.5f), lift = rng.uniform(-0.5f, 0.5f), warp = rng.uniform(0, 0.3f);
        const float big = rng.chance(25) ? 1e30f : 1.0f;
        finiteInput = true;
        for (int j = 0, k = 0; j <= ny; ++j)
            for (int i = 0; i <= nx; ++i, ++k) {
                const float fx = float(i) / float(nx), fy = float(j) / float(ny);
                dent::Vec p{-0.5f * width + width * fx + rng.uniform(-warp, warp) * width / float(nx),
                            y0 + length * fy + rng.uniform(-warp, warp) * length / float(ny),
                            lift * fy + rng.uniform(-warp, warp) * 0.1f};
                if (rng.chance(60)) p = p * big;
                if (rng.chance(200)) {
                    p.z = std::numeric_limits<float>::quiet_NaN();
                    finiteInput = false;
                }
                if (rng.chance(50) && k > 0) std::memcpy(&p, g->positions + 12 * (k - 1), 12); // coincident
                std::memcpy(g->positions + 12 * k, &p, 12);
                if (g->normals) {
                    const dent::Vec n{rng.uniform(-1, 1), rng.uniform(-1, 1), rng.chance(10) ? 0.0f : 2.0f};
                    std::memcpy(g->normals + 12 * k, &n, 12);
                }
                if (g->prelit) {
                    const std::uint32_t c = static_cast<std::uint32_t>(rng.next());
                    std::memcpy(g->prelit + 4 * k, &c, 4);
                }
                for (int set = 0; set < sets; ++set) {
                    const float uv[2] = {rng.uniform(-2, 2), rng.uniform(-2, 2)};
                    std::memcpy(g->texCoords[set] + 8 * k, uv, 8);
                }
            }
        for (int t = 0; t < triangles; ++t) {
            int a, b, c;
            const int cell = static_cast<int>(rng.below(static_cast<std::uint32_t>(nx * ny)));
            const int ci = cell % nx, cj = cell / nx;
            const int v00 = cj * (nx + 1) + ci, v10 = v00 + 1, v01 = v00 + nx + 1, v11 = v01 + 1;
            if (t < 2 * nx * ny && t % 2 == 0) a = v00, b = v10, c = v11;
            else if (t < 2 * nx * ny) a = v00, b = v11, c = v01;
            else a = v00, b = v10, c = v11; // repeated
            if (rng.chance(40)) c = a;      // collapsed
            if (rng.chance(60)) b = static_cast<int>(rng.below(static_cast<std::uint32_t>(vertices)));
            game::Triangle tri{{std::uint16_t(a), std::uint16_t(b), std::uint16_t(c)}, 0};
            sim::detail::appendMaterial(*g, materials[rng.below(3)], &tri.material);
            std::memcpy(g->triangleArray + 8 * t, &tri, 8);
        }
        const float sphere[4] = {0.0f, y0 + 0.5f * length, 0.0f, rng.chance(10) ? 0.0f : 2.0f};
        std::memcpy(g->morph + game::MorphBoundingSphere, sphere, 16);
        return raw;
    }

    void* materials[3] = {};
};

TEST_F(PanelRebuild, RandomAndDegenerateMeshes) {
    const std::uint64_t seed = envNumber("BW_PANEL_FUZZ_SEED", 77);
    const std::uint64_t iterations = envNumber("BW_PANEL_FUZZ_ITERATIONS", 300);
    soak::Random rng(seed);
    std::uint64_t built = 0;
    for (std::uint64_t it = 0; it < iterations; ++it) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", iteration " + std::to_string(it));
        bool finiteInput = true;
        void* source = randomPanel(rng, finiteInput);
        game::PanelState panel;
        panel.kind = rng.chance(2) ? 1 : 2;
        panel.damaged = rng.chance(2);
        panel.shape.sign = panel.kind == 1 ? 1.0f : -1.0f;
        panel.shape.crease = rng.uniform(0.2f, 0.8f);
        const sim::Accounting before = host->accounting();
        void* g = nullptr;
        try {
            g = mesh::buildCreaseTopology(source, panel);
        } catch (...) {
            ADD_FAILURE() << "the rebuild threw";
        }
        if (g == nullptr) {
            EXPECT_EQ(host->accounting().liveGeometries, before.liveGeometries) << "a refused rebuild left a geometry";
        } else {
            ++built;
            ASSERT_TRUE(host->isLiveGeometry(g));
            const std::int32_t faces = game::triangleCount(g), n = game::vertexCount(g);
            ASSERT_EQ(faces % 2, 0);
            ASSERT_EQ(n, 3 * (faces / 2));
            EXPECT_EQ(panel.sides.size(), static_cast<std::size_t>(n));
            EXPECT_TRUE(std::isfinite(panel.shape.start) && std::isfinite(panel.shape.length));
            const auto* t = static_cast<const game::Triangle*>(game::triangles(g));
            for (std::int32_t k = 0; k < faces; ++k)
                for (std::uint16_t v : t[k].vertex) ASSERT_LT(v, n) << "triangle " << k;
            for (std::int32_t k = 0; k < faces; ++k)
                ASSERT_LT(t[k].material, game::materialCount(g)) << "triangle " << k;
            const auto* p = static_cast<const dent::Vec*>(game::morphPositions(game::morphTarget(g, game::morphOffset)));
            ASSERT_NE(p, nullptr);
            if (finiteInput) {
                for (std::int32_t v = 0; v < n; ++v) ASSERT_TRUE(dent::isFinite(p[v])) << "vertex " << v;
            }
            for (std::int32_t side : panel.sides) ASSERT_TRUE(side == 0 || side == 1);
            host->releaseGeometry(g);
        }
        host->releaseGeometry(source);
        ASSERT_EQ(host->accounting().badReleases, 0u);
        ASSERT_EQ(host->accounting().invalidCalls, 0u);
    }
    std::printf("BW-FUZZ target=panel_rebuild seed=%llu executions=%llu rebuilt=%llu\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(iterations),
                static_cast<unsigned long long>(built));
}

} // namespace
