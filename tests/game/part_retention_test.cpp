#include "game/part_retention.h"

#include "sim/sim_state.h"
#include "sim_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using guardtest::SimTest;

// The damage and reset calls reach the detours the way an inline hook makes
// them: a jump at the host function's entry, with the substitute's own
// implementation as the original.
class PartRetention : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::HostOptions options;
        options.poolSlots = 300;
        startHost(options);
        jumpTo(game::addr::ComponentDamage, reinterpret_cast<void*>(&game::componentDamageDetour));
        jumpTo(game::addr::DamageReset, reinterpret_cast<void*>(&game::damageResetDetour));
        game::componentDamageOriginal = &sim::detail::componentDamageImpl;
        game::damageResetOriginal = &sim::detail::damageResetImpl;
        game::clearPartRetention();
        plugin::mutableSettingsForTesting().logHits = 1;
    }
    void TearDown() override {
        game::clearPartRetention();
        game::componentDamageOriginal = nullptr;
        game::damageResetOriginal = nullptr;
        EXPECT_EQ(host->accounting().invalidCalls, 0u);
        SimTest::TearDown();
    }

    void jumpTo(game::Address at, void* detour) {
        std::uint8_t jump[5] = {0xE9};
        const std::uint32_t rel =
            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(detour)) - (at + 5u);
        std::memcpy(jump + 1, &rel, 4);
        host->patchCode(at, jump, sizeof jump);
    }

    void* vehicle() {
        sim::VehicleDesc desc;
        desc.buildCar = false;
        return host->addVehicle(desc);
    }

    static bool isDoor(int code) { return code >= 5 && code <= 10; }
    static std::uint32_t panelShift(int code) { return static_cast<std::uint32_t>(4 * code - 44); }

    static std::uint32_t status(void* v, int code) {
        void* d = game::vehicleDamage(v);
        if (isDoor(code))
            return game::field<std::uint8_t>(d, game::DamageDoorStatus +
                                                    static_cast<std::uint32_t>(code - 5));
        return (game::damagePanelStatus(d) >> panelShift(code)) & 0xFu;
    }
    static void setStatus(void* v, int code, std::uint32_t s) {
        void* d = game::vehicleDamage(v);
        if (isDoor(code)) {
            game::setField<std::uint8_t>(
                d, game::DamageDoorStatus + static_cast<std::uint32_t>(code - 5),
                static_cast<std::uint8_t>(s));
            return;
        }
        const std::uint32_t mask = 0xFu << panelShift(code);
        game::setDamagePanelStatus(d,
                                   (game::damagePanelStatus(d) & ~mask) | (s << panelShift(code)));
    }

    bool damage(void* v, int code, std::uint32_t tick) {
        host->setTickCount(tick);
        return host->damageComponent(v, code);
    }

    std::vector<std::string> retentionLines() const {
        std::vector<std::string> out;
        for (const auto& l : logLines())
            if (l.rfind("PartRetention:", 0) == 0) out.push_back(l);
        return out;
    }
};

struct Call {
    std::uint32_t tick;
    std::uint32_t statusAfter;
};

struct Case {
    const char* what;
    int code;
    std::uint32_t attemptsPerStage;
    std::uint8_t enabled;
    std::uint32_t initial;
    std::vector<Call> calls;
};

// A steady scrape: a call every 500 ms for ten seconds, then a pause.
std::vector<Call> scrape() {
    std::vector<Call> calls;
    for (std::uint32_t t = 1000; t <= 11000; t += 500)
        calls.push_back({t, 1});
    calls.push_back({11751, 2});
    return calls;
}

TEST_F(PartRetention, StagesAdvanceOnlyOnSeparateAttempts) {
    // clang-format off
    const Case cases[] = {
        // what, code, AttemptsPerStage, Enabled, status before, calls (tick, status after)
        {"door held until a call 751 ms after the last", 5, 2, 1, 1, {{1000, 1}, {1750, 1}, {2501, 2}}},
        // The gap runs from the last call, counted or not.
        {"three attempts with AttemptsPerStage 3", 6, 3, 1, 1,
         {{1000, 1}, {1751, 1}, {2000, 1}, {2750, 1}, {3501, 2}}},
        {"the next stage restarts the count and keeps the gap", 10, 2, 1, 1,
         {{1000, 1}, {1751, 2}, {2000, 2}, {2751, 2}, {3502, 3}, {3600, 4}}},
        {"a steady scrape counts once", 5, 2, 1, 1, scrape()},
        {"the gap is measured across the tick count's wrap", 5, 2, 1, 1,
         {{0xFFFFFF00u, 1}, {0x100u, 1}, {0x100u + 751u, 2}}},
        {"intact door is not held", 7, 2, 1, 0, {{1000, 1}, {1100, 1}}},
        {"door beyond stage 2 is not held", 8, 2, 1, 3, {{1000, 4}}},
        {"panel at 1 is not held", 11, 2, 1, 1, {{1000, 2}}},
        {"panel held from 2 to 3", 17, 2, 1, 2, {{1000, 2}, {1751, 3}}},
        {"panel at bit 20 held from 2 to 3", 16, 3, 1, 2, {{1000, 2}, {5000, 2}, {9000, 3}}},
        {"code 15 passes through", 15, 2, 1, 2, {{1000, 3}}},
        {"one attempt per stage holds nothing", 9, 1, 1, 1, {{1000, 2}}},
        {"retention off", 5, 2, 0, 1, {{1000, 2}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        game::clearPartRetention();
        plugin::Settings& s = plugin::mutableSettingsForTesting();
        s.attemptsPerStage = c.attemptsPerStage;
        s.partRetentionEnabled = c.enabled;
        void* v = vehicle();
        setStatus(v, c.code, c.initial);
        for (const Call& call : c.calls) {
            damage(v, c.code, call.tick);
            EXPECT_EQ(status(v, c.code), call.statusAfter) << "at " << call.tick;
        }
    }
}

TEST_F(PartRetention, PanelHoldTouchesOnlyItsOwnField) {
    void* v = vehicle();
    void* d = game::vehicleDamage(v);
    // Code 13 owns bits 8 to 11, here at 2; every other field is busy.
    const std::uint32_t word = 0xFEDCB2A9u;
    game::setDamagePanelStatus(d, word);
    EXPECT_TRUE(damage(v, 13, 1000));
    EXPECT_EQ(game::damagePanelStatus(d), word);
    EXPECT_TRUE(damage(v, 13, 1751));
    EXPECT_EQ(game::damagePanelStatus(d), 0xFEDCB3A9u);
}

TEST_F(PartRetention, DetourReturnsTheHostsResultAndCallsItOnce) {
    void* v = vehicle();
    setStatus(v, 5, 4);
    const std::uint32_t before = host->lifecycle().componentDamage;
    EXPECT_FALSE(damage(v, 5, 1000)); // a door already off: the host refuses
    setStatus(v, 6, 1);
    EXPECT_TRUE(damage(v, 6, 1000));  // held, but the host's answer stands
    EXPECT_FALSE(damage(v, 4, 1000)); // not a part the host knows
    EXPECT_EQ(host->lifecycle().componentDamage - before, 3u);
}

TEST_F(PartRetention, ShuttingDownPassesThroughAndCountsNothing) {
    void* v = vehicle();
    setStatus(v, 5, 1);
    game::shuttingDown = 1;
    damage(v, 5, 1000);
    EXPECT_EQ(status(v, 5), 2u);
    EXPECT_TRUE(retentionLines().empty());
    // Nothing was counted meanwhile: back at stage 1, the first attempt holds.
    game::shuttingDown = 0;
    setStatus(v, 5, 1);
    damage(v, 5, 5000);
    EXPECT_EQ(status(v, 5), 1u);
}

TEST_F(PartRetention, LeastRecentlyUsedSlotIsTakenOverFromZero) {
    std::vector<void*> v;
    for (int i = 0; i < 257; ++i)
        v.push_back(vehicle());
    // Two records at their first attempt; the first is used again later, so
    // the second becomes the least recent once 254 more records take slots.
    setStatus(v[0], 5, 1);
    setStatus(v[1], 5, 1);
    damage(v[0], 5, 1000);
    damage(v[1], 5, 1000);
    for (int i = 2; i < 256; ++i)
        damage(v[i], 6, 1000);
    damage(v[0], 5, 1100);
    damage(v[256], 6, 1100); // the 257th record
    ASSERT_EQ(status(v[0], 5), 1u);
    ASSERT_EQ(status(v[1], 5), 1u);

    damage(v[0], 5, 2000);
    EXPECT_EQ(status(v[0], 5), 2u) << "the recently used record kept its count";
    damage(v[1], 5, 2000);
    EXPECT_EQ(status(v[1], 5), 1u) << "the evicted record starts from zero";
}

TEST_F(PartRetention, HostResetForgetsTheRecordAndClearForgetsAll) {
    void* v = vehicle();
    void* other = vehicle();
    setStatus(v, 5, 1);
    setStatus(other, 5, 1);
    damage(v, 5, 1000);
    damage(other, 5, 1000);
    EXPECT_EQ(host->resetDamage(v), 1u) << "the host's result comes back";
    EXPECT_EQ(host->lifecycle().damageReset, 1u);
    EXPECT_EQ(status(v, 5), 0u) << "the host's reset ran";

    setStatus(v, 5, 1);
    damage(v, 5, 2000);
    EXPECT_EQ(status(v, 5), 1u) << "counting for the reset record started over";
    damage(other, 5, 2000);
    EXPECT_EQ(status(other, 5), 2u) << "another record kept its count";

    game::clearPartRetention();
    damage(v, 5, 3000);
    EXPECT_EQ(status(v, 5), 1u) << "the table was cleared";
}

TEST_F(PartRetention, LogLineOnEveryChangeOfTheCount) {
    struct Row {
        std::uint32_t tick;
        const char* line; // null: no line
    };
    const Row rows[] = {
        {1000, "PartRetention: component=7 stage=1->2 attempt=1/2 held=1"},
        {1500, nullptr},
        {2251, "PartRetention: component=7 stage=1->2 attempt=2/2 held=0"},
        {2300, "PartRetention: component=7 stage=2->3 attempt=0/2 held=1"},
        {3051, "PartRetention: component=7 stage=2->3 attempt=1/2 held=1"},
    };
    for (std::uint8_t logHits : {1, 0}) {
        SCOPED_TRACE(logHits ? "LogHits on" : "LogHits off");
        game::clearPartRetention();
        plugin::mutableSettingsForTesting().logHits = logHits;
        void* v = vehicle();
        setStatus(v, 7, 1);
        std::vector<std::string> expected = retentionLines();
        for (const Row& r : rows) {
            damage(v, 7, r.tick);
            if (logHits && r.line) expected.push_back(r.line);
            EXPECT_EQ(retentionLines(), expected) << "at " << r.tick;
        }
        EXPECT_EQ(status(v, 7), 2u) << "holding does not depend on the log";
    }
}

} // namespace
