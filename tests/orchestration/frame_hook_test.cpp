// The frame hook called as the host's patched call reaches it, with the
// game's processing standing in as a function that queues this frame's
// contacts.
#include "orchestration/frame_hook.h"

#include "car_fixture.h"
#include "game/frame_state.h"
#include "game/host_layout.h"
#include "game/registry.h"
#include "orchestration/lifecycle.h"
#include "plugin/settings_table.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::function<void()> g_gameProcess;

void BW_CDECL gameProcess() {
    if (g_gameProcess) g_gameProcess();
}

void* BW_CDECL throwingPlayerVehicle() {
    throw std::runtime_error("host fault");
}

class FrameHook : public meshtest::CarTest {
  protected:
    void SetUp() override {
        CarTest::SetUp();
        orchestration::processTarget = &gameProcess;
        orchestration::probeTried = 1; // the fixture fixed the layout
    }
    void TearDown() override {
        g_gameProcess = nullptr;
        orchestration::processTarget = nullptr;
        CarTest::TearDown();
    }

    void queueFrontHit(void* vehicle) {
        const dent::Contact c = contactOn(vehicle, {0, 2, 0.5f}, {0, -1, 0}, 900.0f, 7);
        game::contactQueue.add(c);
    }

    std::vector<std::string> npcHits() const {
        std::vector<std::string> out;
        for (const auto& l : logLines())
            if (l.rfind("Hit: actor=npc handle=", 0) == 0)
                out.push_back(l.substr(0, l.find(" model=")));
        return out;
    }
};

TEST_F(FrameHook, TrafficDentedPerFrameIsCappedNearestFirst) {
    // Pool order is not distance order.
    const float distances[] = {9, 5, 12, 7};
    std::vector<void*> traffic;
    for (float y : distances)
        traffic.push_back(addCar({0, y, 0}));
    live = host->accounting().liveGeometries;
    plugin::mutableSettingsForTesting().maxNPCPerFrame = 2;
    g_gameProcess = [&] {
        for (void* v : traffic)
            queueFrontHit(v);
    };
    orchestration::frameHook();
    const std::vector<std::string> want = {
        "Hit: actor=npc handle=" + std::to_string(host->handleOf(traffic[1])),
        "Hit: actor=npc handle=" + std::to_string(host->handleOf(traffic[3]))};
    EXPECT_EQ(npcHits(), want);
}

TEST_F(FrameHook, AnExceptionIsLoggedWithItsPhaseAndGoesNoFurther) {
    const game::PlayerVehicleFn saved = game::playerVehicle;
    game::playerVehicle = &throwingPlayerVehicle;
    orchestration::frameHook();
    game::playerVehicle = saved;
    EXPECT_EQ(
        countLog("Frame update failed during \"Bucklewright update\"; rest of the frame skipped."),
        1);
    EXPECT_EQ(std::string(plugin::currentPhase()), "game rendering / between updates");
}

} // namespace

// ---- the frame's dent work ----------------------------------------------------------------

class FrameWork : public FrameHook {
  protected:
    void SetUp() override {
        FrameHook::SetUp();
        plugin::Settings& s = plugin::mutableSettingsForTesting();
        s.maxTrackedVehicles = 16;
        s.maxNPCPerFrame = 32;
        s.maxDentWorkPerFrame = plugin::defaultSettings().maxDentWorkPerFrame;
        // A queue ahead of the player, the nearest first.
        for (int i = 0; i < 12; ++i)
            traffic.push_back(addCar({0, 6.0f + 5.0f * float(i), 0}));
        live = host->accounting().liveGeometries;
    }

    // The player and `cars` traffic cars struck on their noses in one frame.
    void strike(std::size_t cars) {
        host->setClock(5000);
        g_gameProcess = [this, cars] {
            queueFrontHit(car);
            for (std::size_t i = 0; i < cars; ++i)
                queueFrontHit(traffic[i]);
        };
        orchestration::frameHook();
        g_gameProcess = nullptr;
    }

    bool dented(void* vehicle) {
        const game::TrackedVehicle* r = record(vehicle);
        return r != nullptr && !r->meshReferences.empty();
    }
    std::size_t carried() {
        std::size_t n = 0;
        for (const auto& r : game::registry()->records)
            n += r->carried.size();
        return n;
    }
    std::size_t dentedTraffic() {
        std::size_t n = 0;
        while (n < traffic.size() && dented(traffic[n]))
            ++n;
        for (std::size_t i = n; i < traffic.size(); ++i)
            EXPECT_FALSE(dented(traffic[i])) << "car " << i << " landed before a nearer one";
        return n;
    }

    // What every car draws, byte for byte.
    std::vector<std::vector<unsigned char>> drawn() {
        std::vector<std::vector<unsigned char>> out;
        std::vector<void*> all = traffic;
        all.insert(all.begin(), car);
        for (void* v : all)
            for (void* g : geometries(v))
                out.push_back(meshtest::positionBytes(g));
        return out;
    }

    std::vector<void*> traffic;
};

// Catches work dropped, done twice, done out of order or done otherwise than
// in one frame: thirteen first touches at once land over the next frames,
// nearest first, as the same bytes that one unbounded frame makes.
TEST_F(FrameWork, FirstTouchesBeyondTheBudgetLandLaterInOrderUnchanged) {
    plugin::mutableSettingsForTesting().maxDentWorkPerFrame = 10000000;
    strike(traffic.size());
    ASSERT_EQ(carried(), 0u);
    ASSERT_EQ(dentedTraffic(), traffic.size());
    const auto whole = drawn();
    for (auto& r : game::registry()->records)
        game::resetRecord(*r);

    plugin::mutableSettingsForTesting().maxDentWorkPerFrame =
        plugin::defaultSettings().maxDentWorkPerFrame;
    strike(traffic.size());
    EXPECT_TRUE(dented(car)) << "the player first";
    EXPECT_EQ(dentedTraffic(), 1u) << "then the nearest car, and no more";
    EXPECT_GT(carried(), 0u);
    std::size_t landed = 1;
    for (int frame = 0; frame < 20 && carried() > 0; ++frame) {
        orchestration::frameHook();
        const std::size_t now = dentedTraffic();
        EXPECT_GT(now, landed) << "every frame lands some of the work";
        landed = now;
    }
    EXPECT_EQ(carried(), 0u);
    EXPECT_EQ(landed, traffic.size());
    EXPECT_EQ(drawn(), whole);
}

TEST_F(FrameWork, OneOrTwoCarsStruckCarryNothing) {
    for (const std::size_t cars : {0u, 1u}) {
        SCOPED_TRACE(cars + 1);
        strike(cars);
        EXPECT_EQ(carried(), 0u);
        EXPECT_TRUE(dented(car));
        EXPECT_EQ(dentedTraffic(), cars);
        for (auto& r : game::registry()->records)
            game::resetRecord(*r);
    }
}

// Carried work goes with its car: repaired, gone, or all released at once
// (the tear-down checks that nothing leaked and every source is back).
TEST_F(FrameWork, CarriedWorkGoesWithItsCar) {
    strike(traffic.size());
    void* repaired = traffic[4];
    void* gone = traffic[5];
    ASSERT_FALSE(record(repaired)->carried.empty());
    ASSERT_FALSE(record(gone)->carried.empty());
    game::setField<float>(repaired, game::VehicleHealth, 1200.0f);
    const std::uint32_t before = host->accounting().liveGeometries;
    host->removeVehicle(gone);
    live -= before - host->accounting().liveGeometries;
    traffic.erase(traffic.begin() + 5);
    for (int frame = 0; frame < 20 && carried() > 0; ++frame)
        orchestration::frameHook();
    EXPECT_EQ(carried(), 0u);
    EXPECT_EQ(game::findRecord(*game::registry(), gone), nullptr);
    EXPECT_FALSE(dented(repaired)) << "a repair drops the work it carried";
    EXPECT_TRUE(dented(traffic[5])) << "the cars behind it still land";

    for (auto& r : game::registry()->records)
        game::resetRecord(*r);
    strike(traffic.size()); // carried again, then released before it lands
    EXPECT_GT(carried(), 0u);
    orchestration::releaseAll("Lifecycle: test release.");
    game::shuttingDown = 0;
    EXPECT_TRUE(game::registry()->records.empty());
    EXPECT_EQ(host->accounting().invalidCalls, 0u);
}
