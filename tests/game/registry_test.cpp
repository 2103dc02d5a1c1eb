#include "game/registry.h"

#include "game/host_layout.h"
#include "sim/sim_state.h"
#include "sim_fixture.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

using guardtest::SimTest;

// What the deformation driver does on a first touch: keep one reference on
// the atomic's geometry, give the atomic a private copy and remember both.
class Registry : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        plugin::mutableSettingsForTesting().maxTrackedVehicles = 16;
    }
    void TearDown() override {
        game::deleteAllRecords(registry);
        if (host) {
            const sim::Accounting a = host->accounting();
            EXPECT_EQ(a.badReleases, 0u);
            EXPECT_EQ(a.invalidCalls, 0u);
            EXPECT_TRUE(host->atomicsOnLiveGeometries());
        }
        SimTest::TearDown();
    }

    static void holdReference(void* geometry) {
        const std::int16_t raw = game::geometryRefCount(geometry);
        game::setField<std::int16_t>(geometry, game::GeometryRefCount,
                                     static_cast<std::int16_t>(raw + 1));
    }

    // Gives every atomic of the vehicle a private copy; returns how many.
    int dentEverything(game::TrackedVehicle& record) {
        int copies = 0;
        for (void* atomic : host->atomicsOf(record.renderObject)) {
            void* source = game::atomicGeometry(atomic);
            if (source == nullptr) continue;
            void* copy = host->createGeometry(game::vertexCount(source),
                                              game::triangleCount(source),
                                              game::geometryFlags(source) & 0xFF);
            if (copy == nullptr) continue;
            holdReference(source);
            game::setGeometry(atomic, copy, 0);
            auto ref = std::make_unique<game::MeshReference>();
            ref->sourceGeometry = source;
            ref->copyGeometry = copy;
            record.meshReferences.push_back(std::move(ref));
            record.copiedVertexTotal += static_cast<std::uint32_t>(game::vertexCount(copy));
            record.episode.open = true;
            record.episode.serial = 3;
            ++copies;
        }
        return copies;
    }

    // Every atomic draws a geometry the host built (none of the copies).
    bool onSourceGeometries(void* renderObject, const std::vector<void*>& sources) {
        const std::vector<void*> atomics = host->atomicsOf(renderObject);
        if (atomics.size() != sources.size()) return false;
        for (std::size_t i = 0; i < atomics.size(); ++i)
            if (game::atomicGeometry(atomics[i]) != sources[i]) return false;
        return true;
    }

    std::vector<void*> geometriesOf(void* renderObject) {
        std::vector<void*> out;
        for (void* a : host->atomicsOf(renderObject)) out.push_back(game::atomicGeometry(a));
        return out;
    }

    game::Registry registry;
};

} // namespace

TEST_F(Registry, CreateRecordTakesTheVehiclesIdentity) {
    sim::VehicleDesc desc;
    desc.health = 640.0f;
    void* v = host->addVehicle(desc);
    const std::uint32_t now = 123456;
    game::TrackedVehicle* r = game::createRecord(registry, v, now);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->vehicle, v);
    EXPECT_EQ(r->handle, host->handleOf(v));
    EXPECT_EQ(r->renderObject, game::renderObject(v));
    EXPECT_EQ(r->lastHealth, 640.0f);
    EXPECT_EQ(r->healthDrop, 0.0f);
    EXPECT_EQ(r->lastHitTime, now);
    EXPECT_EQ(r->seed, (static_cast<std::uint32_t>(r->handle) * 0x9E3779B9u) ^ now);
    EXPECT_EQ(r->copiedVertexTotal, 0u);
    EXPECT_FALSE(r->episode.open);
    EXPECT_EQ(game::findRecord(registry, v), r);
    EXPECT_EQ(game::findRecord(registry, nullptr), nullptr);
    EXPECT_TRUE(game::identityTest(*r));
}

TEST_F(Registry, ResetPutsTheSourcesBackAndReleasesEverything) {
    void* v = host->addVehicle();
    const sim::Accounting before = host->accounting();
    game::TrackedVehicle* r = game::createRecord(registry, v, 0);
    const std::vector<void*> sources = geometriesOf(r->renderObject);
    std::vector<std::int32_t> refs;
    for (void* g : sources) refs.push_back(host->references(g));
    ASSERT_GT(dentEverything(*r), 0);
    ASSERT_FALSE(onSourceGeometries(r->renderObject, sources));

    game::resetRecord(*r);
    EXPECT_TRUE(onSourceGeometries(r->renderObject, sources));
    EXPECT_TRUE(r->meshReferences.empty());
    EXPECT_EQ(r->copiedVertexTotal, 0u);
    EXPECT_FALSE(r->episode.open);
    EXPECT_EQ(r->episode.serial, 0u);
    EXPECT_EQ(host->accounting().liveGeometries, before.liveGeometries);
    for (std::size_t i = 0; i < sources.size(); ++i)
        EXPECT_EQ(host->references(sources[i]), refs[i]) << "no reference of ours left";
    EXPECT_EQ(registry.records.size(), 1u) << "a reset keeps the record";
}

TEST_F(Registry, FrameWalkResetsRepairsAndDropsVanishedVehicles) {
    struct Case {
        const char* what;
        float newHealth;                 // from 500
        std::function<void(void*)> act;  // on the vehicle, before the walk
        bool kept;
        bool restored;                   // atomics back on their sources
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {"health unchanged", 500, nullptr, true, false},
        {"health falls", 300, nullptr, true, false},
        {"repair by 25", 525, nullptr, true, false},
        {"repair by 26", 526, nullptr, true, true},
        {"NaN health", nan, nullptr, true, false},
        {"infinite health", inf, nullptr, true, false},
        {"pool gone", 500, [this](void*) { host->setPoolPointer(false); }, false, false},
        {"render object replaced", 500,
         [](void* v) { game::setPointerField(v, game::EntityRenderObject, v); }, false, false},
    };
    for (const Case& c : cases) {
        sim::VehicleDesc desc;
        desc.health = 500.0f;
        void* v = host->addVehicle(desc);
        void* object = game::renderObject(v);
        const std::uint32_t setGeometryBefore = host->uses(sim::HostCall::SetGeometry);
        game::TrackedVehicle* r = game::createRecord(registry, v, 0);
        const std::vector<void*> sources = geometriesOf(object);
        const int copies = dentEverything(*r);
        ASSERT_GT(copies, 0) << c.what;
        const std::vector<void*> dented = geometriesOf(object);

        game::setField<float>(v, game::VehicleHealth, c.newHealth);
        if (c.act) c.act(v);
        game::frameWalk(registry);

        ASSERT_EQ(registry.records.size(), c.kept ? 1u : 0u) << c.what;
        if (c.kept) {
            EXPECT_EQ(std::memcmp(&r->lastHealth, &c.newHealth, sizeof(float)), 0) << c.what;
            if (c.restored) {
                EXPECT_EQ(r->healthDrop, 0.0f) << c.what;
                EXPECT_TRUE(onSourceGeometries(object, sources)) << c.what;
                EXPECT_TRUE(r->meshReferences.empty()) << c.what;
            } else {
                EXPECT_EQ(geometriesOf(object), dented) << c.what;
                EXPECT_EQ(r->meshReferences.size(), static_cast<std::size_t>(copies)) << c.what;
                if (std::isfinite(c.newHealth)) {
                    EXPECT_EQ(r->healthDrop, 500.0f - c.newHealth) << c.what;
                }
            }
        } else {
            // Erased without a single atomic touched: they still draw the copies.
            EXPECT_EQ(host->uses(sim::HostCall::SetGeometry) - setGeometryBefore,
                      static_cast<std::uint32_t>(copies))
                << c.what;
            EXPECT_EQ(geometriesOf(object), dented) << c.what;
        }
        if (std::string(c.what) == "pool gone") host->setPoolPointer(true);
        if (std::string(c.what) == "render object replaced")
            game::setPointerField(v, game::EntityRenderObject, object);
        game::deleteAllRecords(registry);
        host->removeVehicle(v);
    }
}

TEST_F(Registry, StaleHandleIsErasedWithoutTouchingAtomics) {
    void* gone = host->addVehicle();
    void* stays = host->addVehicle();
    game::TrackedVehicle* first = game::createRecord(registry, gone, 0);
    game::TrackedVehicle* second = game::createRecord(registry, stays, 0);
    dentEverything(*first);
    dentEverything(*second);
    const std::uint32_t setGeometryBefore = host->uses(sim::HostCall::SetGeometry);

    // The game drops the vehicle (its atomics go with it) and reuses the slot.
    host->removeVehicle(gone);
    void* newcomer = host->addVehicle();
    EXPECT_NE(host->handleOf(newcomer), first->handle);

    game::frameWalk(registry);
    ASSERT_EQ(registry.records.size(), 1u);
    EXPECT_EQ(registry.records[0].get(), second);
    EXPECT_EQ(host->uses(sim::HostCall::SetGeometry), setGeometryBefore);
    EXPECT_EQ(second->meshReferences.size(), host->atomicsOf(second->renderObject).size());
}

TEST_F(Registry, MakeRoomEvictsOnlyRecordsIdleForASecond) {
    const std::uint32_t now = 50000;
    std::vector<void*> cars;
    for (int i = 0; i < 16; ++i) {
        sim::VehicleDesc desc;
        desc.buildCar = (i < 2); // two with copies to give back
        cars.push_back(host->addVehicle(desc));
        game::createRecord(registry, cars.back(), now - 999);
    }
    dentEverything(*registry.records[1]);
    const std::vector<void*> sourcesOf1 = [&] {
        std::vector<void*> s;
        for (const auto& ref : registry.records[1]->meshReferences) s.push_back(ref->sourceGeometry);
        return s;
    }();

    EXPECT_FALSE(game::makeRoom(registry, nullptr, now)) << "all hit 999 ms ago";
    EXPECT_EQ(registry.records.size(), 16u);

    // Exactly 1000 ms idle is enough; the idlest goes, the earliest on a tie.
    registry.records[1]->lastHitTime = now - 1000;
    registry.records[5]->lastHitTime = now - 1000;
    void* evicted = registry.records[1]->vehicle;
    void* object = registry.records[1]->renderObject;
    EXPECT_TRUE(game::makeRoom(registry, nullptr, now));
    EXPECT_EQ(registry.records.size(), 15u);
    EXPECT_EQ(game::findRecord(registry, evicted), nullptr);
    EXPECT_TRUE(onSourceGeometries(object, sourcesOf1)) << "an evicted vehicle gets its meshes back";
    EXPECT_EQ(registry.records[1]->vehicle, cars[2]) << "the others keep their order";

    // Below the limit there is room without eviction.
    EXPECT_TRUE(game::makeRoom(registry, nullptr, now));
    EXPECT_EQ(registry.records.size(), 15u);

    // The keep vehicle is never evicted, even when it is the idlest.
    game::createRecord(registry, host->addVehicle(sim::VehicleDesc{}), now);
    registry.records[0]->lastHitTime = now - 90000;
    registry.records[3]->lastHitTime = now - 2000;
    void* keep = registry.records[0]->vehicle;
    void* next = registry.records[3]->vehicle;
    EXPECT_TRUE(game::makeRoom(registry, keep, now));
    EXPECT_NE(game::findRecord(registry, keep), nullptr);
    EXPECT_EQ(game::findRecord(registry, next), nullptr);

    // Only the keep vehicle is idle: no room.
    for (const auto& r : registry.records)
        if (r->vehicle != keep) r->lastHitTime = now - 10;
    game::createRecord(registry, host->addVehicle(sim::VehicleDesc{}), now);
    EXPECT_FALSE(game::makeRoom(registry, keep, now));

    // A clock that wrapped still measures idle time as an unsigned difference.
    const std::uint32_t later = 0x300;
    for (const auto& r : registry.records)
        if (r->vehicle != keep) r->lastHitTime = later - 10;
    registry.records[2]->lastHitTime = 0xFFFFFF00u; // 1024 ms before `later`
    void* wrapped = registry.records[2]->vehicle;
    EXPECT_TRUE(game::makeRoom(registry, keep, later));
    EXPECT_EQ(game::findRecord(registry, wrapped), nullptr);
}

// A geometry that fails the guard keeps its reference, and a later frame walk
// (or the shutdown's delete all) drops it once the same guard passes.
TEST_F(Registry, GuardedReleaseKeepsGeometriesWithUnsafeMaterialTablesUntilTheyPass) {
    void* material = host->createMaterial();
    const std::uint32_t materialAddress =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(material));
    struct Case {
        const char* what;
        bool withMaterial;
        std::function<void(void*)> spoil;
        bool released;
    };
    const Case cases[] = {
        {"sane table", true, nullptr, true},
        {"no materials", false, nullptr, true},
        {"129 materials", true, [this](void* g) {
             host->setMaterialTable(g, game::field<std::uint32_t>(g, game::GeometryMaterials), 129, 129);
         }, false},
        {"misaligned entry", true, [this, materialAddress](void* g) {
             host->setMaterialEntry(g, 0, materialAddress + 2);
         }, false},
        {"null table", true, [this](void* g) { host->setMaterialTable(g, 0, 1, 1); }, false},
    };
    for (const Case& c : cases) {
        void* g = host->createGeometry(3, 1, game::FormatPositions);
        game::Triangle* tri = static_cast<game::Triangle*>(game::triangles(g));
        if (c.withMaterial) {
            ASSERT_NE(game::triangleMaterial(g, tri, material), nullptr) << c.what;
        }
        const std::uint32_t table = game::field<std::uint32_t>(g, game::GeometryMaterials);
        const std::int32_t count = game::materialCount(g), capacity = game::materialCapacity(g);
        if (c.spoil) c.spoil(g);
        const int before = countLog("MaterialGuard: invalid geometry retained; unsafe material release skipped.");

        game::guardedGeometryRelease(g);

        EXPECT_EQ(host->isLiveGeometry(g), !c.released) << c.what;
        EXPECT_EQ(
            countLog("MaterialGuard: invalid geometry retained; unsafe material release skipped.") -
                before,
            c.released ? 0 : 1)
            << c.what;
        EXPECT_STREQ(plugin::currentPhase(), "geometry: release owned reference") << c.what;
        if (c.released) continue;
        EXPECT_EQ(host->references(g), 1) << c.what << ": count untouched";
        EXPECT_EQ(game::retainedGeometries(), 1u) << c.what;
        game::frameWalk(registry);
        EXPECT_TRUE(host->isLiveGeometry(g)) << c.what << ": still unsafe, still kept";
        host->setMaterialTable(g, table, count, capacity);
        host->setMaterialEntry(g, 0, materialAddress);
        game::frameWalk(registry);
        EXPECT_FALSE(host->isLiveGeometry(g)) << c.what << ": released once it passes";
        EXPECT_EQ(game::retainedGeometries(), 0u) << c.what;
        EXPECT_EQ(
            countLog("MaterialGuard: invalid geometry retained; unsafe material release skipped.") -
                before,
            1)
            << c.what << ": logged once";
    }
    // The shutdown's release tries once more as well.
    void* g = host->createGeometry(3, 1, game::FormatPositions);
    game::Triangle* tri = static_cast<game::Triangle*>(game::triangles(g));
    ASSERT_NE(game::triangleMaterial(g, tri, material), nullptr);
    host->setMaterialEntry(g, 0, materialAddress + 2);
    game::guardedGeometryRelease(g);
    EXPECT_TRUE(host->isLiveGeometry(g));
    host->setMaterialEntry(g, 0, materialAddress);
    game::deleteAllRecords(registry);
    EXPECT_FALSE(host->isLiveGeometry(g));
    EXPECT_EQ(host->accounting().unsafeReleases, 0u);
    game::guardedGeometryRelease(nullptr); // nothing at all
}
