#pragma once

// The substitute host's car as the player's vehicle, with the registry and the
// settings the mesh tests share. Tear-down takes the shutdown path and checks
// that every copy went and every atomic has its unchanged source back.

#include "../game/sim_fixture.h"
#include "dent/vec.h"
#include "game/host_layout.h"
#include "game/registry.h"
#include "mesh/deform_atomic.h"
#include "orchestration/hit_processing.h"
#include "sim/sim_state.h"

#include <cstring>
#include <string>
#include <vector>

namespace meshtest {

inline std::vector<unsigned char> positionBytes(const void* geometry) {
    const void* morph = game::morphTarget(geometry, game::morphOffset);
    const auto* p = static_cast<const unsigned char*>(game::morphPositions(morph));
    return std::vector<unsigned char>(p, p + 12u * static_cast<unsigned>(game::vertexCount(geometry)));
}

class CarTest : public guardtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        game::morphOffset = host->morphOffset();
        ASSERT_TRUE(game::createRegistry());
        plugin::Settings& s = plugin::mutableSettingsForTesting();
        s.logHits = 1;
        s.impact.minRadius = 0.6f;
        s.impact.maxRadius = 0.9f;
        s.maxTotalDisplacement = 1.6f;
        s.maxTotalVertices = 1000000;
        s.maxTrackedVehicles = 8;
        mesh::resetGeometryGuardReportsForTesting();
        host->setClock(1000);
        car = addCar();
        host->setPlayerVehicle(car);
        remember();
    }

    void TearDown() override {
        game::Registry& r = *game::registry();
        for (auto& record : r.records) game::resetRecord(*record);
        game::deleteAllRecords(r);
        const sim::Accounting a = host->accounting();
        EXPECT_EQ(a.liveGeometries, live) << "a copy leaked";
        EXPECT_EQ(a.badReleases, 0u);
        EXPECT_EQ(a.unsafeReleases, 0u);
        EXPECT_EQ(a.invalidCalls, 0u);
        EXPECT_TRUE(host->atomicsOnLiveGeometries());
        EXPECT_EQ(geometries(car), sources) << "an atomic did not get its source back";
        for (std::size_t i = 0; i < sources.size() && i < sourceBytes.size(); ++i)
            EXPECT_EQ(positionBytes(sources[i]), sourceBytes[i]) << "a source geometry changed";
        SimTest::TearDown();
    }

    // The car's geometries as they stand now count as its sources.
    void remember() {
        live = host->accounting().liveGeometries;
        sources = geometries(car);
        sourceBytes.clear();
        for (void* g : sources) sourceBytes.push_back(positionBytes(g));
    }

    void* addCar(dent::Vec at = {0, 0, 0}) {
        sim::VehicleDesc desc;
        desc.placement = sim::Matrix::identity(at);
        return host->addVehicle(desc);
    }

    std::vector<void*> geometries(void* vehicle) {
        std::vector<void*> out;
        for (void* a : host->atomicsOf(game::renderObject(vehicle))) out.push_back(game::atomicGeometry(a));
        return out;
    }

    void* atomicNamed(void* vehicle, const char* name) {
        for (void* a : host->atomicsOf(game::renderObject(vehicle))) {
            const char* n = game::frameName(game::atomicFrame(a));
            if (n != nullptr && std::string(n) == name) return a;
        }
        return nullptr;
    }

    game::TrackedVehicle* record(void* vehicle) { return game::findRecord(*game::registry(), vehicle); }

    game::MeshReference* referenceOf(void* vehicle, void* atomic) {
        game::TrackedVehicle* r = record(vehicle);
        if (r == nullptr) return nullptr;
        for (auto& ref : r->meshReferences)
            if (ref->copyGeometry == game::atomicGeometry(atomic)) return ref.get();
        return nullptr;
    }

    // One frame's contact on `vehicle`, then its hit processing.
    void contact(void* vehicle, std::uint32_t clock, dent::Vec point, dent::Vec normal, float impulse,
                 bool reset) {
        host->setClock(clock);
        game::contactQueue.reset();
        const dent::Contact c = contactOn(vehicle, point, normal, impulse, 7);
        ASSERT_TRUE(game::contactQueue.add(c));
        orchestration::processHit(vehicle, true, reset, car);
    }

    void* car = nullptr;
    std::uint32_t live = 0;
    std::vector<void*> sources;
    std::vector<std::vector<unsigned char>> sourceBytes;
};

} // namespace meshtest
