// Bonnets and boots of the substitute host's car folding under hits, end to
// end through hit processing and the per-atomic driver.
#include "mesh/deform_atomic.h"
#include "mesh/hidden_variants.h"

#include "car_fixture.h"
#include "dent/panel_lighting.h"
#include "failing_new.h"
#include "game/host_layout.h"
#include "game/registry.h"
#include "mesh/hit_context.h"
#include "orchestration/hit_processing.h"
#include "sim/sim_state.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct FoldLine {
    std::string kind, variant;
    float compression = 0, lift = 0, crease = 0;
    int vertices = 0;
};

class PanelFold : public meshtest::CarTest {
  protected:
    // One frame's contact on the car (body frame), then its hit processing.
    void hit(std::uint32_t clock, dent::Vec point, dent::Vec normal, float impulse = 900.0f,
             bool reset = false) {
        contact(car, clock, point, normal, impulse, reset);
    }

    // The driver called directly for one atomic, as one hit would.
    mesh::HitContext drive(void* atomic, std::uint32_t serial, float depth, dent::Vec point,
                           dent::Vec normal, float radius = 0.8f) {
        if (record(car) == nullptr) game::createRecord(*game::registry(), car, host->clock());
        mesh::HitContext c{};
        c.record = record(car);
        c.worldPoint = point;
        c.worldNormal = normal;
        c.depth = depth;
        c.radius = radius;
        c.serial = serial;
        mesh::deformAtomic(atomic, &c);
        return c;
    }

    // How often `atomic` waits hidden on the car (0 or 1).
    int waiting(const void* atomic) {
        int n = 0;
        for (const game::HiddenVariant& h : record(car)->hidden) n += h.atomic == atomic;
        return n;
    }

    std::vector<FoldLine> foldLines() {
        std::vector<FoldLine> out;
        for (const auto& l : logLines()) {
            char kind[16] = {}, variant[16] = {};
            FoldLine f;
            if (std::sscanf(l.c_str(),
                            "PanelFold: kind=%15s variant=%15s compression=%f lift=%f crease=%f "
                            "vertices=%d",
                            kind, variant, &f.compression, &f.lift, &f.crease, &f.vertices) == 6) {
                f.kind = kind;
                f.variant = variant;
                out.push_back(f);
            }
        }
        return out;
    }

    static const dent::Vec* arrayOf(const void* g, std::uint32_t field) {
        return static_cast<const dent::Vec*>(
            game::pointerField(game::morphTarget(g, game::morphOffset), field));
    }

    // Extent of the panel along its axis and the highest rise over rest.
    static void measure(const game::MeshReference& ref, float& extent, float& rise) {
        const dent::Vec* p = arrayOf(ref.copyGeometry, game::MorphPositions);
        float lo = 1e9f, hi = -1e9f;
        rise = -1e9f;
        for (std::size_t i = 0; i < ref.rest.size(); ++i) {
            lo = std::min(lo, ref.panel.shape.sign * p[i].y);
            hi = std::max(hi, ref.panel.shape.sign * p[i].y);
            rise = std::max(rise, p[i].z - ref.rest[i].z);
        }
        extent = hi - lo;
    }

    // Vertices on either side of the crease whose normals leave the rest
    // normal, and the largest departure of any normal from its rest normal.
    static void normalsBySide(const game::MeshReference& ref, int tilted[2], float& departure) {
        const dent::Vec* n = arrayOf(ref.copyGeometry, game::MorphNormals);
        tilted[0] = tilted[1] = 0;
        departure = 0.0f;
        for (std::size_t i = 0; i < ref.rest.size(); ++i) {
            const float d = dent::length(n[i] - ref.panel.restNormals[i]);
            departure = std::max(departure, d);
            // A bonnet's near part rises towards the crease and faces back;
            // its far part falls and faces forward.
            const float y = n[i].y * ref.panel.shape.sign;
            if (ref.panel.sides[i] == 0 && y < -0.05f) ++tilted[0];
            if (ref.panel.sides[i] == 1 && y > 0.05f) ++tilted[1];
        }
    }
};

const dent::Vec kFront{0.0f, 2.2f, 0.45f};
const dent::Vec kBack{0.0f, -1.0f, 0.0f};

TEST_F(PanelFold, FrontalPushFoldsTheBonnetAlongItsCrease) {
    void* bonnet = atomicNamed(car, "bonnet_hi_ok");
    ASSERT_NE(bonnet, nullptr);
    // Too shallow to fold: the lattice takes an ordinary dent in its plane.
    mesh::HitContext c = drive(bonnet, 1, 0.05f, kFront, kBack);
    game::MeshReference* ref = referenceOf(car, bonnet);
    ASSERT_NE(ref, nullptr);
    ASSERT_EQ(ref->panel.kind, 1);
    EXPECT_EQ(c.panels, 0u);
    EXPECT_EQ(c.meshes, 1u);
    const std::size_t v = ref->rest.size();
    EXPECT_EQ(game::vertexCount(ref->copyGeometry), game::triangleCount(ref->copyGeometry) * 3 / 2);
    ASSERT_EQ(ref->panel.restNormals.size(), v);
    int tilted[2];
    float departure;
    normalsBySide(*ref, tilted, departure);
    EXPECT_LT(departure, 1e-5f) << "no fold, no new light";
    float restExtent, rise;
    measure(*ref, restExtent, rise);
    const std::string mesh =
        "PanelMesh: kind=bonnet variant=original sharedLattice=1 sharedVertexBackfaces=1 "
        "length=1.2000 triangles=" +
        std::to_string(game::triangleCount(ref->copyGeometry));
    EXPECT_EQ(countLog(mesh), 1);

    struct Step {
        std::uint32_t serial;
        float depth;
        bool grows;
    } steps[] = {{2, 0.25f, true}, {2, 0.15f, false}, {3, 0.25f, true}};
    float compression = 0.0f;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.serial);
        c = drive(bonnet, s.serial, s.depth, kFront, kBack);
        EXPECT_EQ(c.panels, 1u);
        const std::vector<FoldLine> lines = foldLines();
        ASSERT_FALSE(lines.empty());
        const FoldLine& f = lines.back();
        EXPECT_EQ(f.kind, "bonnet");
        EXPECT_EQ(f.variant, "original");
        EXPECT_EQ(f.vertices, static_cast<int>(v));
        EXPECT_NEAR(f.crease, ref->panel.shape.crease, 5e-4f);
        EXPECT_NEAR(f.compression, ref->panel.compression, 5e-4f);
        if (s.grows) {
            EXPECT_GT(ref->panel.compression, compression + 0.01f);
        } else {
            EXPECT_EQ(ref->panel.compression, compression);
        }
        compression = ref->panel.compression;
        // Shorter along its axis by the compression, the crease risen by the lift.
        float extent;
        measure(*ref, extent, rise);
        EXPECT_NEAR(extent, restExtent - compression, 1e-4f);
        EXPECT_NEAR(rise, f.lift, 5e-4f);
        normalsBySide(*ref, tilted, departure);
        EXPECT_GT(tilted[0], 0);
        EXPECT_GT(tilted[1], 0);
    }
}

TEST_F(PanelFold, CompressionStaysWithinItsLimitsOverManyHits) {
    struct Case {
        float maxCompression, maxLift;
    } cases[] = {{0.3f, 0.9f}, {0.45f, 0.2f}};
    void* bonnet = atomicNamed(car, "bonnet_hi_ok");
    for (const Case& k : cases) {
        SCOPED_TRACE(k.maxLift);
        plugin::Settings& s = plugin::mutableSettingsForTesting();
        s.panelMaxCompression = k.maxCompression;
        s.panelMaxLift = k.maxLift;
        const std::size_t earlier = foldLines().size();
        for (std::uint32_t serial = 1; serial <= 10; ++serial)
            drive(bonnet, serial, 0.6f, kFront, kBack);
        game::MeshReference* ref = referenceOf(car, bonnet);
        ASSERT_NE(ref, nullptr);
        EXPECT_LE(ref->panel.compression, k.maxCompression * 1.2f);
        float extent, rise;
        measure(*ref, extent, rise);
        EXPECT_GE(extent, 1.2f - k.maxCompression * 1.2f - 1e-4f);
        EXPECT_LE(rise, k.maxLift + 1e-4f);
        const std::vector<FoldLine> lines = foldLines();
        ASSERT_EQ(lines.size(), earlier + 10);
        for (std::size_t i = earlier; i < lines.size(); ++i)
            EXPECT_LE(lines[i].lift, k.maxLift + 5e-4f);
        // The lift limit binds before the compression limit does.
        if (k.maxLift < 0.5f) {
            EXPECT_LT(ref->panel.compression, k.maxCompression * 1.2f - 0.05f);
        }
        game::resetRecord(*record(car));
    }
}

// The damaged variant of each panel, which the game does not draw yet, waits:
// when its damage shows it, it is built and dented exactly as the intact one
// was (the substitute host's variants share one mesh).
TEST_F(PanelFold, HitsOnTheCarFoldTheBonnetOrBootOrDentWithoutFolding) {
    struct Case {
        const char* what;
        dent::Vec point, normal;
        const char* panel;
        const char* kind;
        std::int32_t component; // the damage that shows the damaged variant
        bool folds;
    } cases[] = {
        {"front", kFront, {0, -1, 0}, "bonnet_hi", "bonnet", 5, true},
        {"rear", {0.0f, -2.2f, 0.45f}, {0, 1, 0}, "boot_hi", "boot", 6, true},
        {"side", {0.9f, 1.6f, 0.45f}, {-1, 0, 0}, "bonnet_hi", "bonnet", 5, false},
    };
    std::uint32_t clock = 1000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t before = foldLines().size();
        hit(clock += 1000, c.point, c.normal);
        hit(clock += 100, c.point, c.normal, 1200.0f); // the same dent grows
        void* ok = atomicNamed(car, (std::string(c.panel) + "_ok").c_str());
        void* damaged = atomicNamed(car, (std::string(c.panel) + "_dam").c_str());
        game::MeshReference* ref = referenceOf(car, ok);
        ASSERT_NE(ref, nullptr);
        EXPECT_NE(ref->panel.kind, 0);
        EXPECT_EQ(ref->panel.compression > 0.0f, c.folds);
        if (!c.folds) {
            const dent::Vec* p = arrayOf(ref->copyGeometry, game::MorphPositions);
            float inward = 0.0f;
            for (std::size_t i = 0; i < ref->rest.size(); ++i)
                inward = std::min(inward, p[i].x - ref->rest[i].x);
            EXPECT_LT(inward, -0.01f) << "the lattice took the dent";
        }
        EXPECT_EQ(referenceOf(car, damaged), nullptr) << "hidden: not built";
        EXPECT_EQ(waiting(damaged), 1);
        EXPECT_EQ(foldLines().size(), before + (c.folds ? 2 : 0));

        host->damageComponent(car, c.component);
        mesh::buildShownVariants(*game::registry());
        game::MeshReference* shown = referenceOf(car, damaged);
        ASSERT_NE(shown, nullptr);
        EXPECT_EQ(waiting(damaged), 0);
        EXPECT_EQ(meshtest::positionBytes(shown->copyGeometry),
                  meshtest::positionBytes(ref->copyGeometry));
        const std::size_t normals = 12u * ref->rest.size();
        EXPECT_EQ(std::memcmp(arrayOf(shown->copyGeometry, game::MorphNormals),
                              arrayOf(ref->copyGeometry, game::MorphNormals), normals),
                  0);
        EXPECT_EQ(shown->panel.compression, ref->panel.compression);

        const std::vector<FoldLine> lines = foldLines();
        ASSERT_EQ(lines.size(), before + (c.folds ? 4 : 0));
        for (std::size_t i = before; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].kind, c.kind);
            EXPECT_EQ(lines[i].variant, i < before + 2 ? "original" : "damaged");
        }
        host->resetDamage(car);
        game::resetRecord(*record(car));
    }
}

TEST_F(PanelFold, F7PutsTheOriginalBonnetBack) {
    hit(1000, kFront, {0, -1, 0});
    void* bonnet = atomicNamed(car, "bonnet_hi_ok");
    ASSERT_NE(referenceOf(car, bonnet), nullptr);
    ASSERT_GT(referenceOf(car, bonnet)->panel.compression, 0.0f);
    hit(1050, kFront, {0, -1, 0}, 900.0f, true);
    EXPECT_EQ(geometries(car), sources);
    EXPECT_EQ(host->accounting().liveGeometries, live);
    // Folded again, the bonnet goes back at shutdown (TearDown).
    hit(2000, kFront, {0, -1, 0});
    EXPECT_GT(referenceOf(car, bonnet)->panel.compression, 0.0f);
}

// A panel-named part of given size under the car, drawing its own sheet.
void* addPart(sim::Host& host, void* car, const char* name, float width, float length,
              float height) {
    const int nx = 6, ny = 6;
    void* raw = host.createGeometry((nx + 1) * (ny + 1), 2 * nx * ny,
                                    game::FormatPositions | game::FormatNormals |
                                        game::FormatTexCoords1 | (1u << game::FormatTexCoordShift));
    sim::detail::GeometryRec* g = sim::detail::findGeometry(raw);
    void* material = host.createMaterial();
    for (int j = 0, k = 0; j <= ny; ++j)
        for (int i = 0; i <= nx; ++i, ++k) {
            const float fx = float(i) / nx, fy = float(j) / ny;
            const dent::Vec p{width * (fx - 0.5f), length * (fy - 0.5f), height * fy}, n{0, 0, 1};
            std::memcpy(g->positions + 12 * k, &p, 12);
            std::memcpy(g->normals + 12 * k, &n, 12);
        }
    for (int j = 0, t = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i)
            for (int h = 0; h < 2; ++h, ++t) {
                const int a = j * (nx + 1) + i, c = a + nx + 1;
                game::Triangle tri{{std::uint16_t(a), std::uint16_t(h ? c + 1 : a + 1),
                                    std::uint16_t(h ? c : c + 1)},
                                   0};
                sim::detail::appendMaterial(*g, material, &tri.material);
                std::memcpy(g->triangleArray + 8 * t, &tri, 8);
            }
    const float sphere[4] = {0, 0, 0, 4.0f};
    std::memcpy(g->morph + game::MorphBoundingSphere, sphere, 16);
    void* atomic = host.createAtomic(host.createFrame(name, nullptr), raw, 1);
    host.addAtomic(game::renderObject(car), atomic);
    host.releaseGeometry(raw);
    host.releaseMaterial(material);
    return atomic;
}

TEST_F(PanelFold, RefusedPanelsDentAsOrdinaryMeshes) {
    const char* const fallback = "Panel crease unsupported; using ordinary dent for this mesh.";
    struct Case {
        const char* name;
        float width, length, height;
        sim::HostCall failing;
        const char* bounds;
    } cases[] = {
        {"bonnet_tall", 1.0f, 1.0f, 0.8f, sim::HostCall::Count,
         "PanelBounds: kind=bonnet damaged=0 length=1.0000 height=0.8000 rejected"},
        {"hood_short", 1.0f, 0.2f, 0.0f, sim::HostCall::Count,
         "PanelBounds: kind=bonnet damaged=0 length=0.2000 height=0.0000 rejected"},
        {"trunk_long", 1.0f, 3.6f, 0.0f, sim::HostCall::Count,
         "PanelBounds: kind=boot damaged=0 length=3.6000 height=0.0000 rejected"},
        {"boot_narrow", 0.01f, 1.0f, 0.0f, sim::HostCall::Count, nullptr},
        {"bonnet_unlucky", 1.0f, 1.0f, 0.0f, sim::HostCall::CreateGeometry, nullptr},
    };
    int fallbacks = 0;
    std::uint32_t serial = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        void* atomic = addPart(*host, car, c.name, c.width, c.length, c.height);
        remember();
        const std::size_t lines = logLines().size();
        // The clone's creation is the first use; the rebuild's the second.
        if (c.failing != sim::HostCall::Count) host->failOnUse(c.failing, 2);
        mesh::HitContext ctx = drive(atomic, serial++, 0.2f, {0, 0, 0.5f}, {0, 0, -1});
        host->clearFaults();
        game::MeshReference* ref = referenceOf(car, atomic);
        ASSERT_NE(ref, nullptr);
        EXPECT_EQ(ref->panel.kind, 0);
        EXPECT_TRUE(ref->panel.restNormals.empty());
        EXPECT_EQ(ctx.meshes, 1u);
        EXPECT_EQ(ref->rest.size(), 49u) << "the clone, not a rebuilt panel";
        const dent::Vec* p = arrayOf(ref->copyGeometry, game::MorphPositions);
        float sunk = 0.0f;
        for (std::size_t i = 0; i < ref->rest.size(); ++i)
            sunk = std::min(sunk, p[i].z - ref->rest[i].z);
        EXPECT_LT(sunk, -0.05f);
        EXPECT_EQ(countLog(fallback), ++fallbacks);
        const auto after = logLines();
        EXPECT_EQ(after.size(), lines + (c.bounds ? 2u : 1u));
        if (c.bounds) {
            EXPECT_EQ(after[lines], c.bounds);
        }
        game::resetRecord(*record(car));
    }
}

TEST_F(PanelFold, FirstTouchHostCallsAndAllocationFailure) {
    void* bonnet = atomicNamed(car, "bonnet_hi_ok");
    void* source = game::atomicGeometry(bonnet);
    const std::int32_t sourceTriangles = game::triangleCount(source);
    const sim::HostCall counted[] = {
        sim::HostCall::GeometrySkin,     sim::HostCall::CreateGeometry,
        sim::HostCall::TriangleVertices, sim::HostCall::TriangleMaterial,
        sim::HostCall::Unlock,           sim::HostCall::Lock,
        sim::HostCall::SetGeometry};
    std::uint32_t before[7];
    for (int i = 0; i < 7; ++i)
        before[i] = host->uses(counted[i]);
    drive(bonnet, 1, 0.2f, kFront, kBack);
    game::MeshReference* ref = referenceOf(car, bonnet);
    ASSERT_NE(ref, nullptr);
    const std::uint32_t faces = std::uint32_t(game::triangleCount(ref->copyGeometry));
    std::uint32_t used[7];
    for (int i = 0; i < 7; ++i)
        used[i] = host->uses(counted[i]) - before[i];
    // Clone, then rebuild: skin test, creation, four face calls per piece and
    // one unlock each; one lock for the pass and its unlock; one attach.
    const std::uint32_t expected[7] = {
        2, 2, std::uint32_t(sourceTriangles) + faces, std::uint32_t(sourceTriangles) + faces, 3,
        1, 1};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(used[i], expected[i]) << i;
    std::printf("[ first touch ] %d source triangles -> %u pieces; host calls: skin %u, create %u, "
                "vertices %u, material %u, unlock %u, lock %u, attach %u\n",
                sourceTriangles, faces / 2, used[0], used[1], used[2], used[3], used[4], used[5],
                used[6]);

    // Running out of memory while the rebuild writes its side list releases
    // the half-built panel and the clone; the atomic keeps its source.
    game::resetRecord(*record(car));
    failNextAllocationOfSize(std::size_t(3 * faces / 2) * sizeof(std::int32_t));
    drive(bonnet, 2, 0.2f, kFront, kBack);
    EXPECT_TRUE(allocationFailureHappened());
    EXPECT_EQ(game::atomicGeometry(bonnet), source);
    EXPECT_EQ(host->accounting().liveGeometries, live);
    EXPECT_EQ(countLog("Deformation failed during \"atomic: panel setup\"; atomic left unchanged."),
              1);
}

} // namespace

namespace {

// Everything of a panel that one pass may change.
struct PanelSnapshot {
    float compression, episodeAmount;
    std::vector<dent::Vec> currents, points;
    std::vector<unsigned char> positions, normals;

    static PanelSnapshot of(const game::MeshReference& ref) {
        PanelSnapshot s{ref.panel.compression, ref.panel.episodeAmount, {}, ref.panel.lattice.points,
                        meshtest::positionBytes(ref.copyGeometry), {}};
        for (const dent::SheetPoint& p : ref.panel.lattice.sheet) s.currents.push_back(p.current);
        const auto* n = static_cast<const unsigned char*>(
            game::morphNormals(game::morphTarget(ref.copyGeometry, game::morphOffset)));
        s.normals.assign(n, n + 12u * ref.rest.size());
        return s;
    }
    static bool same(const std::vector<dent::Vec>& a, const std::vector<dent::Vec>& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(dent::Vec)) == 0;
    }
    bool operator==(const PanelSnapshot& o) const {
        return compression == o.compression && episodeAmount == o.episodeAmount &&
               same(currents, o.currents) && same(points, o.points) && positions == o.positions &&
               normals == o.normals;
    }
};

} // namespace

// Out of memory in the middle of a growing fold: the geometry is unlocked and
// the panel is as before the pass, so the growth, retried, is added once.
TEST_F(PanelFold, FailedPassLeavesThePanelUnlockedAndAsItWas) {
    void* bonnet = atomicNamed(car, "bonnet_hi_ok");
    drive(bonnet, 1, 0.2f, kFront, kBack);
    game::MeshReference* ref = referenceOf(car, bonnet);
    ASSERT_NE(ref, nullptr);
    ASSERT_GT(ref->panel.compression, 0.0f);
    const PanelSnapshot before = PanelSnapshot::of(*ref);
    const std::uint32_t unlocks = host->unlocks(ref->copyGeometry);

    // The lighting's gradient list, built after the sheet has moved.
    failNextAllocationOfSize(ref->panel.lattice.sheet.size() * sizeof(dent::PanelLighting::Gradient));
    const mesh::HitContext failed = drive(bonnet, 1, 0.35f, kFront, kBack);
    ASSERT_TRUE(allocationFailureHappened());
    EXPECT_EQ(countLog("Deformation failed during \"atomic: displace vertices\"; atomic left unchanged."), 1);
    EXPECT_EQ(failed.panels, 0u);
    EXPECT_EQ(game::field<std::uint16_t>(ref->copyGeometry, game::GeometryLockFlags), 0);
    EXPECT_EQ(host->unlocks(ref->copyGeometry), unlocks + 1);
    EXPECT_TRUE(PanelSnapshot::of(*ref) == before);

    // The retry applies the growth.
    const mesh::HitContext retried = drive(bonnet, 1, 0.35f, kFront, kBack);
    EXPECT_EQ(retried.panels, 1u);
    EXPECT_GT(ref->panel.compression, before.compression);
}

namespace {

// Once the part's damage shows the damaged variant, the intact one is the
// variant the game does not draw: it waits, and is built (the same bits)
// when the game draws it again.
TEST_F(PanelFold, WhicheverVariantTheGameDoesNotDrawWaits) {
    host->damageComponent(car, 5); // the bonnet's damage shows its damaged variant
    hit(2000, kFront, {0, -1, 0});
    void* ok = atomicNamed(car, "bonnet_hi_ok");
    void* damaged = atomicNamed(car, "bonnet_hi_dam");
    game::MeshReference* built = referenceOf(car, damaged);
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(referenceOf(car, ok), nullptr);
    EXPECT_EQ(waiting(ok), 1);

    host->resetDamage(car); // the intact variant is drawn again
    mesh::buildShownVariants(*game::registry());
    game::MeshReference* shown = referenceOf(car, ok);
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(meshtest::positionBytes(shown->copyGeometry),
              meshtest::positionBytes(built->copyGeometry));
}

} // namespace
