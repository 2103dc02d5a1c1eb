#include "game/traffic_candidates.h"

#include "../game/sim_fixture.h"
#include "game/host_layout.h"

#include <vector>

namespace {

class Traffic : public guardtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        plugin::Settings& s = plugin::mutableSettingsForTesting();
        s.npcRange = 50.0f;
        player = add({0, 0, 0});
        host->setPlayerVehicle(player);
    }

    void* add(dent::Vec at) {
        sim::VehicleDesc desc;
        desc.placement = sim::Matrix::identity(at);
        return host->addVehicle(desc);
    }

    void strike(void* v, float impulse = 900.0f) {
        const dent::Contact c = contactOn(v, {0.9f, 0, 0}, {-1, 0, 0}, impulse, 0);
        ASSERT_TRUE(game::contactQueue.add(c));
    }

    std::vector<void*> order(const void* playerVehicle) {
        std::vector<void*> out;
        for (const auto& c : game::buildTrafficCandidates({0, 0, 0}, playerVehicle,
                                                          plugin::settings()))
            out.push_back(const_cast<void*>(c.vehicle));
        return out;
    }

    void* player = nullptr;
};

TEST_F(Traffic, StruckVehiclesInRangeNearestFirstLinkedAheadOfAll) {
    void* far = add({40, 0, 0});
    void* near = add({10, 0, 0});
    void* edge = add({50, 0, 0});           // exactly at the range: in
    void* beyond = add({50.01f, 0, 0});     // a little farther: out
    void* weak = add({5, 0, 0});            // struck too softly to dent
    void* untouched = add({3, 0, 0});       // no contact this frame
    (void)untouched;
    void* unhandled = add({4, 0, 0});       // a model that is never dented
    game::setField<std::int16_t>(unhandled, game::EntityModelIndex, 151);
    for (void* v : {far, near, edge, beyond, player, unhandled}) strike(v);
    strike(weak, 1.0f);

    EXPECT_EQ(order(player), (std::vector<void*>{near, far, edge}));
    host->linkEntity(player, edge);
    EXPECT_EQ(order(player), (std::vector<void*>{edge, near, far}));
    // On foot nothing is linked, and the player's car is ordinary traffic.
    const auto onFoot = order(nullptr);
    ASSERT_EQ(onFoot.size(), 4u);
    EXPECT_EQ(onFoot.front(), player);
}

TEST_F(Traffic, EqualDistancesGoByHandleAndBadRangesOrQueuesGiveNothing) {
    void* a = add({0, 20, 0});
    void* b = add({20, 0, 0});
    strike(b);
    strike(a);
    const auto list = game::buildTrafficCandidates({0, 0, 0}, player, plugin::settings());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_LT(list[0].handle, list[1].handle);
    EXPECT_EQ(list[0].distanceSq, list[1].distanceSq);

    for (float range : {0.0f, -5.0f, std::nanf("")}) {
        plugin::mutableSettingsForTesting().npcRange = range;
        EXPECT_TRUE(order(player).empty()) << range;
    }
    plugin::mutableSettingsForTesting().npcRange = 50.0f;
    game::contactQueue.reset();
    EXPECT_TRUE(order(player).empty());
    strike(a);
    host->setPoolPointer(false);
    EXPECT_TRUE(order(player).empty());
    host->setPoolPointer(true);
    EXPECT_EQ(order(player).size(), 1u);
}

} // namespace
