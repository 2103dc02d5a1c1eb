// Hit processing on the substitute host's car: which hits dent, and the lines
// a player reading the log relies on.
#include "orchestration/hit_processing.h"

#include "car_fixture.h"
#include "game/host_layout.h"
#include "game/registry.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>

namespace {

const dent::Vec kSidePoint{0.9f, 0.3f, 0.1f};
const dent::Vec kInward{-1.0f, 0.0f, 0.0f};
const float kNaN = std::numeric_limits<float>::quiet_NaN();

class HitProcessing : public meshtest::CarTest {
  protected:
    void hit(void* vehicle, float impulse, bool isPlayer = true) {
        game::contactQueue.reset();
        const dent::Contact c = contactOn(vehicle, kSidePoint, kInward, impulse, 7);
        ASSERT_TRUE(game::contactQueue.add(c));
        orchestration::processHit(vehicle, isPlayer, false, car);
    }

    int hitLines() const {
        int n = 0;
        for (const auto& l : logLines())
            n += l.rfind("Hit:", 0) == 0;
        return n;
    }
};

TEST_F(HitProcessing, NoDentForAWreckedOrExcludedCarOrAnInsaneBodyMatrix) {
    struct Case {
        const char* what;
        std::function<void()> spoil;
        bool dented;
    };
    const Case cases[] = {
        {"a sound car as it is", [] {}, true},
        {"health 0", [&] { game::setField<float>(car, game::VehicleHealth, 0.0f); }, false},
        {"health NaN", [&] { game::setField<float>(car, game::VehicleHealth, kNaN); }, false},
        {"health drop NaN",
         [&] { game::createRecord(*game::registry(), car, host->clock())->healthDrop = kNaN; },
         false},
        {"collision-proof",
         [&] {
             game::setField<std::uint8_t>(car, game::EntityCollisionProofByte,
                                          game::EntityCollisionProof);
         },
         false},
        {"right axis 5% long",
         [&] {
             sim::Matrix m = sim::Matrix::identity();
             m.m[0] = 1.05f;
             host->setPlacement(car, m);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        game::deleteAllRecords(*game::registry());
        game::setField<float>(car, game::VehicleHealth, 1000.0f);
        game::setField<std::uint8_t>(car, game::EntityCollisionProofByte, 0);
        host->setPlacement(car, sim::Matrix::identity());
        const int linesBefore = hitLines();
        c.spoil();
        hit(car, 900.0f);
        EXPECT_EQ(geometries(car) != sources, c.dented);
        EXPECT_EQ(hitLines() - linesBefore, c.dented ? 1 : 0);
        game::TrackedVehicle* r = record(car);
        if (!c.dented && r != nullptr) {
            EXPECT_TRUE(r->meshReferences.empty());
        }
        if (r != nullptr) game::resetRecord(*r);
    }
}

TEST_F(HitProcessing, ACarWithoutAtomicsIsSaidSo) {
    sim::VehicleDesc desc;
    desc.buildCar = false;
    desc.placement = sim::Matrix::identity({0, 10, 0});
    void* bare = host->addVehicle(desc);
    game::setPointerField(bare, game::EntityRenderObject,
                          host->createRenderObject(host->createFrame("chassis_dummy", nullptr)));
    hit(bare, 900.0f, false);
    EXPECT_EQ(countLog("Geometry traversal returned no atomics; no visual deformation applied."),
              1);
}

// Every field of the line for one known hit: impulse 300 on 1500 kg is impact
// 0.2, a strength of 0.21459 with the default impact settings, so depth
// 0.65 * 0.21459 and radius 0.6 + 0.3 * sqrt(0.21459).
TEST_F(HitProcessing, TheHitLineCarriesEveryField) {
    game::createRecord(*game::registry(), car, host->clock())->healthDrop = 12.5f;
    const float speed[3] = {0.3f, 0.4f, 0.0f};
    std::memcpy(game::bytesAt(car, game::VehicleMoveSpeed), speed, sizeof speed);
    hit(car, 300.0f, false);

    int dented = 0;
    const std::vector<void*> now = geometries(car);
    for (std::size_t i = 0; i < now.size(); ++i)
        dented += now[i] != sources[i];
    ASSERT_GT(dented, 0);
    char want[320];
    std::snprintf(want, sizeof want,
                  "Hit: actor=npc handle=%d model=90 episode=1 impact=0.2000 impulse=300.0 "
                  "mass=1500.0 speedAfter=0.5000 healthLoss=12.5 depth=0.139 radius=0.739 piece=7 "
                  "meshes=%d visited=%d",
                  static_cast<int>(host->handleOf(car)), dented, static_cast<int>(now.size()));
    const auto lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), want);
}

} // namespace
