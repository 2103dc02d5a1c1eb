#include "mesh/deform_atomic.h"
#include "mesh/vertex_budget.h"

#include "car_fixture.h"
#include "failing_new.h"
#include "game/host_layout.h"
#include "game/registry.h"
#include "mesh/hit_context.h"
#include "orchestration/hit_processing.h"
#include "sim/sim_state.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

using meshtest::positionBytes;

const dent::Vec* positions(const void* geometry) {
    return static_cast<const dent::Vec*>(
        game::morphPositions(game::morphTarget(geometry, game::morphOffset)));
}

const dent::Vec kSidePoint{0.9f, 0.3f, 0.1f};
const dent::Vec kInward{-1.0f, 0.0f, 0.0f};

class Deform : public meshtest::CarTest {
protected:
    bool drawsCopy(void* vehicle, const char* name) {
        void* a = atomicNamed(vehicle, name);
        const auto all = host->atomicsOf(game::renderObject(vehicle));
        for (std::size_t i = 0; i < all.size(); ++i)
            if (all[i] == a) return game::atomicGeometry(a) != sources[i];
        ADD_FAILURE() << name << " not found";
        return false;
    }

    void hit(void* vehicle, std::uint32_t clock, float impulse, dent::Vec point = kSidePoint,
             dent::Vec normal = kInward, bool reset = false) {
        contact(vehicle, clock, point, normal, impulse, reset);
    }

    // A context for calling the driver directly, as one hit would.
    mesh::HitContext context(game::TrackedVehicle* r, std::uint32_t serial = 1) {
        mesh::HitContext c{};
        c.record = r;
        c.worldPoint = kSidePoint;
        c.worldNormal = kInward;
        c.depth = 0.2f;
        c.radius = 0.8f;
        c.serial = serial;
        return c;
    }

    game::TrackedVehicle* newRecord(void* vehicle) {
        return game::createRecord(*game::registry(), vehicle, host->clock());
    }
};

TEST_F(Deform, SideHitDentsDoorAndBodyButNoExcludedPartAndResetRestoresAll) {
    hit(car, 1000, 900.0f);
    EXPECT_TRUE(drawsCopy(car, "door_rf_hi_ok"));
    EXPECT_TRUE(drawsCopy(car, "chassis_hi"));
    for (const char* untouched : {"wheel", "exhaust", "chassis_vlo", "door_lf_hi_ok", "door_lr_hi_ok"})
        EXPECT_FALSE(drawsCopy(car, untouched)) << untouched;
    for (void* a : host->atomicsOf(game::renderObject(car))) {
        const char* n = game::frameName(game::atomicFrame(a));
        if (std::string(n) == "wheel") {
            EXPECT_EQ(referenceOf(car, a), nullptr);
        }
    }
    // The copy moved inward, and the atomic's sphere was rewritten.
    void* door = atomicNamed(car, "door_rf_hi_ok");
    game::MeshReference* ref = referenceOf(car, door);
    ASSERT_NE(ref, nullptr);
    const dent::Vec* p = positions(ref->copyGeometry);
    float deepest = 0.0f;
    for (std::size_t i = 0; i < ref->rest.size(); ++i)
        deepest = std::fmax(deepest, ref->rest[i].x - p[i].x);
    EXPECT_GT(deepest, 0.01f);
    EXPECT_TRUE(game::field<std::uint8_t>(door, game::AtomicPrivateFlags) & game::AtomicSphereRewritten);
    // The copy is lit as the part it replaced, not with the creation defaults.
    const game::SurfaceProperties lit = game::surfaceProperties(ref->copyGeometry);
    EXPECT_EQ(std::memcmp(&lit, &sim::VehicleSurface, sizeof lit), 0);

    const auto lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("Hit: actor=player handle=", 0), 0u) << lines.back();
    EXPECT_NE(lines.back().find(" episode=1 "), std::string::npos);
    const std::string visited =
        "visited=" + std::to_string(host->atomicsOf(game::renderObject(car)).size());
    EXPECT_NE(lines.back().find(visited), std::string::npos) << lines.back();

    // F7 gives every atomic its source back and makes no dent in that frame.
    hit(car, 1050, 900.0f, kSidePoint, kInward, true);
    EXPECT_EQ(geometries(car), sources);
    EXPECT_EQ(countLog("Player deformation reset."), 1);
    EXPECT_EQ(host->accounting().liveGeometries, live);
    EXPECT_TRUE(record(car)->meshReferences.empty());
    EXPECT_EQ(record(car)->copiedVertexTotal, 0u);
    EXPECT_FALSE(record(car)->episode.open);
}

TEST_F(Deform, ResetForAnUntrackedCarIsAnOrdinaryHitAndHitLineFollowsLogHits) {
    plugin::mutableSettingsForTesting().logHits = 0;
    hit(car, 1000, 900.0f, kSidePoint, kInward, true);
    EXPECT_TRUE(drawsCopy(car, "door_rf_hi_ok"));
    EXPECT_EQ(countLog("Player deformation reset."), 0);
    for (const auto& l : logLines()) EXPECT_NE(l.rfind("Hit:", 0), 0u) << l;
}

TEST_F(Deform, GrowingEpisodeMovesOnlyByTheGrowthAndAPauseAddsASecondBowl) {
    void* twin = addCar({20, 0, 0});
    live = host->accounting().liveGeometries;
    const float weak = 500.0f, strong = 900.0f;
    hit(car, 1000, weak);
    hit(car, 1100, strong); // within the gap: the same dent, deeper and wider
    EXPECT_EQ(record(car)->episode.serial, 1u);
    hit(twin, 1100, strong); // the whole final bowl at once
    void* door = atomicNamed(car, "door_rf_hi_ok");
    void* twinDoor = atomicNamed(twin, "door_rf_hi_ok");
    const game::MeshReference* ref = referenceOf(car, door);
    ASSERT_NE(ref, nullptr);
    const dent::Vec* grown = positions(ref->copyGeometry);
    const dent::Vec* once = positions(game::atomicGeometry(twinDoor));
    float centreMove = 0.0f;
    for (std::size_t i = 0; i < ref->rest.size(); ++i) {
        EXPECT_NEAR(grown[i].x, once[i].x, 1e-5f) << i;
        EXPECT_NEAR(grown[i].y, once[i].y, 1e-5f) << i;
        EXPECT_NEAR(grown[i].z, once[i].z, 1e-5f) << i;
        centreMove = std::fmax(centreMove, ref->rest[i].x - grown[i].x);
    }

    // A weaker contact of the same episode touches nothing.
    const auto before = positionBytes(ref->copyGeometry);
    hit(car, 1200, weak);
    EXPECT_EQ(positionBytes(ref->copyGeometry), before);

    // After a pause the same contact is a new dent on top of the first.
    hit(car, 1600, strong);
    EXPECT_EQ(record(car)->episode.serial, 2u);
    float second = 0.0f;
    for (std::size_t i = 0; i < ref->rest.size(); ++i)
        second = std::fmax(second, ref->rest[i].x - grown[i].x);
    EXPECT_NEAR(second, 2.0f * centreMove, 1e-4f);
}

TEST_F(Deform, BudgetsRefuseCleanly) {
    game::TrackedVehicle* r = newRecord(car);
    ASSERT_NE(r, nullptr);
    void* door = atomicNamed(car, "door_rf_hi_ok");
    void* source = game::atomicGeometry(door);
    const std::uint32_t v = static_cast<std::uint32_t>(game::vertexCount(source));
    const std::int32_t refs = host->references(source);

    struct Case {
        const char* what;
        std::size_t references;
        std::uint32_t vehicleVertices;
        std::uint32_t otherVertices;
        bool copied;
    } cases[] = {
        {"64 references already", 64, 0, 0, false},
        {"63 references", 63, 0, 0, true},
        {"vehicle budget one over", 0, mesh::kMaxVehicleVertices - v + 1, 0, false},
        {"vehicle budget exactly", 0, mesh::kMaxVehicleVertices - v, 0, true},
        {"all vehicles one over", 0, 0, 50000 - v + 1, false},
        {"all vehicles exactly", 0, 0, 50000 - v, true},
    };
    void* other = addCar({30, 0, 0});
    live = host->accounting().liveGeometries;
    game::TrackedVehicle* o = newRecord(other);
    ASSERT_NE(o, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (std::size_t i = 0; i < c.references; ++i)
            r->meshReferences.push_back(std::make_unique<game::MeshReference>());
        r->copiedVertexTotal = c.vehicleVertices;
        plugin::mutableSettingsForTesting().maxTotalVertices = c.otherVertices ? 50000 : 1000000;
        o->copiedVertexTotal = c.otherVertices;
        mesh::HitContext ctx = context(r);
        mesh::deformAtomic(door, &ctx);
        EXPECT_EQ(game::atomicGeometry(door) != source, c.copied);
        EXPECT_EQ(ctx.meshes, c.copied ? 1u : 0u);
        // Once copied, the reference kept takes the place of the atomic's own.
        EXPECT_EQ(host->references(source), refs);
        game::resetRecord(*r);
        EXPECT_EQ(game::atomicGeometry(door), source);
        EXPECT_EQ(host->accounting().liveGeometries, live);
    }
    o->copiedVertexTotal = 0;
}

TEST_F(Deform, HostFailuresDuringTheFirstTouchLeaveTheSource) {
    game::TrackedVehicle* r = newRecord(car);
    ASSERT_NE(r, nullptr);
    void* door = atomicNamed(car, "door_rf_hi_ok");
    void* source = game::atomicGeometry(door);
    const std::int32_t refs = host->references(source);
    struct Case {
        sim::HostCall call;
        std::uint32_t nth;
        bool cloneMessage;
    } cases[] = {
        {sim::HostCall::CreateGeometry, 1, true},  {sim::HostCall::TriangleVertices, 1, true},
        {sim::HostCall::TriangleVertices, 9, true}, {sim::HostCall::TriangleMaterial, 1, true},
        {sim::HostCall::TriangleMaterial, 20, true}, {sim::HostCall::Unlock, 1, true},
        {sim::HostCall::SetGeometry, 1, false},
    };
    int cloneMessages = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.call));
        SCOPED_TRACE(c.nth);
        host->failOnUse(c.call, c.nth);
        mesh::HitContext ctx = context(r);
        mesh::deformAtomic(door, &ctx);
        host->clearFaults();
        EXPECT_EQ(game::atomicGeometry(door), source);
        EXPECT_EQ(ctx.meshes, 0u);
        EXPECT_EQ(ctx.visited, 1u);
        EXPECT_TRUE(r->meshReferences.empty());
        EXPECT_EQ(r->copiedVertexTotal, 0u);
        EXPECT_EQ(host->references(source), refs);
        EXPECT_EQ(host->accounting().liveGeometries, live);
        cloneMessages += c.cloneMessage;
        EXPECT_EQ(countLog("Geometry clone failed; mesh skipped."), cloneMessages);
    }
    // A failed lock leaves the copy attached but undented.
    host->failOnUse(sim::HostCall::Lock, 1);
    mesh::HitContext ctx = context(r);
    mesh::deformAtomic(door, &ctx);
    host->clearFaults();
    ASSERT_NE(game::atomicGeometry(door), source);
    EXPECT_EQ(positionBytes(game::atomicGeometry(door)), positionBytes(source));
    EXPECT_EQ(ctx.meshes, 0u);
}

TEST_F(Deform, AllocationFailureIsCaughtAndReleasesTheHalfBuiltCopy) {
    game::TrackedVehicle* r = newRecord(car);
    ASSERT_NE(r, nullptr);
    void* door = atomicNamed(car, "door_rf_hi_ok");
    void* source = game::atomicGeometry(door);
    const std::int32_t refs = host->references(source);
    const std::size_t sizes[] = {sizeof(game::MeshReference),
                                 static_cast<std::size_t>(game::vertexCount(source)) * sizeof(dent::Vec)};
    int failures = 0;
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        mesh::HitContext ctx = context(r);
        failNextAllocationOfSize(size);
        mesh::deformAtomic(door, &ctx);
        ASSERT_TRUE(allocationFailureHappened());
        ++failures;
        EXPECT_EQ(game::atomicGeometry(door), source);
        EXPECT_TRUE(r->meshReferences.empty());
        EXPECT_EQ(host->references(source), refs);
        EXPECT_EQ(host->accounting().liveGeometries, live);
        int lines = 0;
        for (const auto& l : logLines())
            lines += l.rfind("Deformation failed during \"atomic: ", 0) == 0;
        EXPECT_EQ(lines, failures);
    }
    mesh::HitContext ctx = context(r);
    mesh::deformAtomic(door, &ctx);
    EXPECT_NE(game::atomicGeometry(door), source);
}

TEST_F(Deform, ExclusionWalkLooksAt24FramesInAnyCase) {
    game::TrackedVehicle* r = newRecord(car);
    ASSERT_NE(r, nullptr);
    void* ro = game::renderObject(car);
    void* shared = game::atomicGeometry(atomicNamed(car, "door_rf_hi_ok"));
    struct Case {
        const char* leaf;
        const char* parent;
        int chain; // frames above the leaf, the parent name on the last
        bool dented;
    } cases[] = {
        {"Front_WHEEL_l", "x", 1, false}, {"bonnet", "chassis_vlo", 1, false},
        {"plug_cap", "x", 1, false},      {"misc_a", "x", 1, false},
        {"door", "x", 1, true},           {"door", "exhaust", 22, false},
        {"door", "exhaust", 25, true},
    };
    const std::size_t liveBefore = host->accounting().liveGeometries;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.leaf);
        SCOPED_TRACE(c.chain);
        void* top = nullptr;
        void* parent = nullptr;
        for (int i = c.chain; i >= 1; --i) {
            parent = host->createFrame(i == c.chain ? c.parent : "link", parent);
            if (top == nullptr) top = parent;
        }
        void* leaf = host->createFrame(c.leaf, parent);
        void* atomic = host->createAtomic(leaf, shared);
        host->addAtomic(ro, atomic);
        mesh::HitContext ctx = context(r);
        ctx.worldPoint = {0.0f, -0.5f, 0.0f};
        ctx.worldNormal = {1.0f, 0.0f, 0.0f};
        mesh::deformAtomic(atomic, &ctx);
        EXPECT_EQ(game::atomicGeometry(atomic) != shared, c.dented);
        game::resetRecord(*r);
        EXPECT_EQ(game::atomicGeometry(atomic), shared);
    }
    EXPECT_EQ(host->accounting().liveGeometries, liveBefore);
    sources = geometries(car);
    sourceBytes.clear();
    for (void* g : sources) sourceBytes.push_back(positionBytes(g));
}

TEST_F(Deform, GuardFailuresAreLoggedTwelveTimesOnly) {
    game::TrackedVehicle* r = newRecord(car);
    ASSERT_NE(r, nullptr);
    void* door = atomicNamed(car, "door_rf_hi_ok");
    void* source = game::atomicGeometry(door);
    host->setMorphOwner(source, nullptr);
    for (int i = 0; i < 13; ++i) {
        mesh::HitContext ctx = context(r);
        mesh::deformAtomic(door, &ctx);
    }
    host->setMorphOwner(source, source);
    EXPECT_EQ(countLog("GeometryGuard: unsupported or invalid CPU buffers; atomic skipped."), 12);
    EXPECT_EQ(game::atomicGeometry(door), source);
}

} // namespace

// A sphere that does not grow lets the game cull a dented part at the edge of
// the screen: pushed outward, a plain mesh and a panel both outgrow theirs.
TEST_F(Deform, BoundingSphereGrowsToEncloseEveryMovedVertex) {
    struct Case {
        const char* atomic;
        dent::Vec point;
        dent::Vec push;
        float radius;
    } cases[] = {
        {"door_rf_hi_ok", {0.9f, 0.4f, 0.05f}, {1, 0, 0}, 0.8f},
        {"bonnet_hi_ok", {0, 1.6f, 0.5f}, {0, 0, 1}, 1.5f},
    };
    game::TrackedVehicle* r = newRecord(car);
    ASSERT_NE(r, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.atomic);
        void* atomic = atomicNamed(car, c.atomic);
        float before[4];
        std::memcpy(before, game::bytesAt(game::morphTarget(game::atomicGeometry(atomic), game::morphOffset),
                                          game::MorphBoundingSphere),
                    sizeof before);
        mesh::HitContext ctx = context(r);
        ctx.worldPoint = c.point;
        ctx.worldNormal = c.push;
        ctx.depth = 0.3f;
        ctx.radius = c.radius;
        mesh::deformAtomic(atomic, &ctx);
        ASSERT_EQ(ctx.meshes, 1u);

        const void* copy = game::atomicGeometry(atomic);
        float after[4];
        std::memcpy(after, game::bytesAt(game::morphTarget(copy, game::morphOffset), game::MorphBoundingSphere),
                    sizeof after);
        EXPECT_EQ(std::memcmp(after, before, 3 * sizeof(float)), 0) << "the centre stays";
        EXPECT_GT(after[3], before[3]);
        const dent::Vec centre{after[0], after[1], after[2]};
        const dent::Vec* p = positions(copy);
        for (std::int32_t i = 0; i < game::vertexCount(copy); ++i)
            EXPECT_LE(dent::length(p[i] - centre), after[3]) << i;
        EXPECT_EQ(std::memcmp(game::bytesAt(atomic, game::AtomicBoundingSphere), after, sizeof after), 0)
            << "the atomic draws with the new sphere";
    }
}
