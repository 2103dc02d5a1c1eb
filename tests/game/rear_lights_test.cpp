#include "game/rear_lights.h"

#include "game/registry.h"
#include "orchestration/hit_processing.h"
#include "sim_fixture.h"

#include <limits>
#include <string>
#include <vector>

namespace {

using guardtest::SimTest;

// The substitute host's models carry their rear lights at (±0.7, -2.1, 0.3).
constexpr float kLightX = 0.7f, kLightY = -2.1f, kLightZ = 0.3f;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

class RearLights : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        plugin::Settings& s = plugin::mutableSettingsForTesting();
        s.logHits = 1;
        s.rearDamage = 1;
        s.rearMinDepth = 0.08f;
        s.falloffPower = 0.65f;
    }
    void TearDown() override {
        EXPECT_EQ(host->accounting().invalidCalls, 0u);
        SimTest::TearDown();
    }

    void* vehicle(int model = 90) {
        sim::VehicleDesc desc;
        desc.model = model;
        desc.buildCar = false;
        return host->addVehicle(desc);
    }

    static dent::Episode episode(dent::Vec point, float depth, float radius) {
        dent::Episode e{};
        e.point = point;
        e.normal = {0, 1, 0};
        e.depth = depth;
        e.radius = radius;
        e.serial = 1;
        e.open = true;
        return e;
    }

    static std::uint32_t lightWord(void* v) {
        return game::damageLightStatus(game::vehicleDamage(v));
    }
    static void setLightWord(void* v, std::uint32_t w) {
        game::setDamageLightStatus(game::vehicleDamage(v), w);
    }

    std::vector<std::string> lightLines() const {
        std::vector<std::string> out;
        for (const auto& l : logLines())
            if (l.rfind("RearLight:", 0) == 0) out.push_back(l);
        return out;
    }
};

constexpr std::uint32_t kLeft = 1u << 4;  // light 2 smashed
constexpr std::uint32_t kRight = 1u << 6; // light 3 smashed

struct Case {
    const char* what;
    dent::Vec point;
    float depth;
    float radius;
    std::uint32_t smashed;
};

TEST_F(RearLights, DentReachesOnlyTheLightsItIsDeepEnoughAt) {
    const dent::Vec left{-kLightX, kLightY, kLightZ};
    const dent::Vec above{-kLightX, kLightY, kLightZ + 0.5f};
    const Case cases[] = {
        {"centred on the left light, narrow", left, 0.3f, 0.8f, kLeft},
        // The right light is 1.4 away: inside a 2.0 bowl with 0.11 left there.
        {"centred on the left light, wide", left, 0.3f, 2.0f, kLeft | kRight},
        {"wide but too shallow at the right light", left, 0.2f, 2.0f, kLeft},
        // The radius computed as the step measures the distance, so that it
        // is met exactly.
        {"left light exactly at the radius", above, 10.0f, dent::length(above - left), 0},
        {"too shallow even at the light", left, 0.079f, 0.8f, 0},
        {"1.3 forward of the lights", {0.0f, kLightY + 1.3f, kLightZ}, 1.0f, 3.0f, 0},
        {"1.2 forward of the lights", {0.0f, kLightY + 1.2f, kLightZ}, 1.0f, 3.0f, kLeft | kRight},
        {"at the body origin's y", {-kLightX, 0.0f, kLightZ}, 10.0f, 10.0f, 0},
        {"in front of the body origin", {-kLightX, 1.5f, kLightZ}, 10.0f, 10.0f, 0},
        {"non-finite depth", left, kNaN, 0.8f, 0},
        {"non-finite radius", left, 0.3f, std::numeric_limits<float>::infinity(), 0},
        {"zero radius", left, 0.3f, 0.0f, 0},
        {"non-finite point", {kNaN, kLightY, kLightZ}, 0.3f, 0.8f, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* v = vehicle();
        // Lights 0 and 1 and the fields above light 3 are busy; they stay.
        const std::uint32_t other = 0xFFFFFF0Fu;
        setLightWord(v, other);
        game::rearLights(v, episode(c.point, c.depth, c.radius), true);
        EXPECT_EQ(lightWord(v), other | c.smashed);
    }
}

TEST_F(RearLights, ImplausibleModelsAndSettingsSmashNothing) {
    const dent::Episode hit = episode({-kLightX, kLightY, kLightZ}, 0.5f, 1.0f);
    struct Row {
        const char* what;
        int model;
        dent::Vec light;
        bool table;
        std::uint8_t rearDamage;
    };
    const dent::Vec usual{kLightX, kLightY, kLightZ};
    const Row rows[] = {
        {"RearDamage off", 90, usual, true, 0},
        {"model out of range", 151, usual, true, 1},
        {"no model-info table", 90, usual, false, 1},
        {"light barely behind the origin", 91, {kLightX, -0.1f, kLightZ}, true, 1},
        {"light farther than 12", 92, {kLightX, -12.5f, kLightZ}, true, 1},
        {"light position not finite", 93, {kNaN, kLightY, kLightZ}, true, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        plugin::mutableSettingsForTesting().rearDamage = r.rearDamage;
        host->setModelInfoTable(r.table);
        host->setRearLight(r.model, r.light);
        void* v = vehicle(r.model);
        game::rearLights(v, hit, true);
        EXPECT_EQ(lightWord(v), 0u);
    }
    EXPECT_TRUE(lightLines().empty());
}

TEST_F(RearLights, DamagedLightIsSkippedAndLineFollowsLogHits) {
    const dent::Episode wide = episode({0.0f, kLightY, kLightZ}, 0.5f, 2.0f);
    void* v = vehicle(95);
    setLightWord(v, 2u << 4); // the left light already damaged
    game::rearLights(v, wide, false);
    EXPECT_EQ(lightWord(v), (2u << 4) | kRight);
    EXPECT_EQ(lightLines(),
              std::vector<std::string>{"RearLight: actor=npc side=right model=95 smashed"});

    void* player = vehicle(96);
    game::rearLights(player, wide, true);
    EXPECT_EQ(lightWord(player), kLeft | kRight);
    const std::vector<std::string> both = {
        "RearLight: actor=npc side=right model=95 smashed",
        "RearLight: actor=player side=left model=96 smashed",
        "RearLight: actor=player side=right model=96 smashed",
    };
    EXPECT_EQ(lightLines(), both);

    // Smashed lights stay as they are, and nothing more is logged.
    game::rearLights(player, wide, true);
    EXPECT_EQ(lightWord(player), kLeft | kRight);

    plugin::mutableSettingsForTesting().logHits = 0;
    void* quiet = vehicle();
    game::rearLights(quiet, wide, true);
    EXPECT_EQ(lightWord(quiet), kLeft | kRight);
    EXPECT_EQ(lightLines(), both);
}

// Hit processing judges the lights when a dent at the back grows.
TEST_F(RearLights, HitAtTheBackSmashesTheLightItReaches) {
    game::morphOffset = host->morphOffset();
    ASSERT_TRUE(game::createRegistry());
    plugin::mutableSettingsForTesting().maxTrackedVehicles = 8;
    host->setClock(1000);
    void* car = host->addVehicle({});
    host->setPlayerVehicle(car);

    game::contactQueue.reset();
    const dent::Contact c =
        contactOn(car, {-kLightX, kLightY - 0.1f, kLightZ}, {0, 1, 0}, 900.0f, 7);
    ASSERT_TRUE(game::contactQueue.add(c));
    orchestration::processHit(car, true, false, car);
    // This blow's dent (about 0.59 deep, 2.2 wide) reaches both lights.
    EXPECT_EQ(lightWord(car), kLeft | kRight);
    const std::vector<std::string> lines = {"RearLight: actor=player side=left model=90 smashed",
                                            "RearLight: actor=player side=right model=90 smashed"};
    EXPECT_EQ(lightLines(), lines);

    game::Registry& r = *game::registry();
    for (auto& record : r.records)
        game::resetRecord(*record);
    game::deleteAllRecords(r);
}

} // namespace
