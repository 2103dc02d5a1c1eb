// The frame hook called as the host's patched call reaches it, with the
// game's processing standing in as a function that queues this frame's
// contacts.
#include "orchestration/frame_hook.h"

#include "car_fixture.h"
#include "game/host_layout.h"
#include "game/registry.h"

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
