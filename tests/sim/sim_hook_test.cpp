// The plug-in's ways into the substitute host: inline hooks on the hook
// targets (their prologues must be relocatable) and rewritten call sites.

#include <gtest/gtest.h>

#include <cstring>

#include "game/host_functions.h"
#include "hook/MinHook.h"
#include "sim/host.h"

namespace {

int detourCalls = 0;
game::PairContactFn pairOriginal = nullptr;
game::SingleContactFn singleOriginal = nullptr;
game::GameShutdownFn shutdownOriginal = nullptr;
game::ShutDownForRestartFn restartOriginal = nullptr;
game::ComponentDamageFn damageOriginal = nullptr;
game::DamageResetFn resetOriginal = nullptr;

bool BW_THISCALL pairDetour(void* self, void* other, void* p, float* a, float* b) {
    ++detourCalls;
    return pairOriginal(self, other, p, a, b);
}
bool BW_THISCALL singleDetour(void* self, void* other, void* p, float* i, void* m, void* t) {
    ++detourCalls;
    return singleOriginal(self, other, p, i, m, t);
}
std::uint32_t BW_CDECL shutdownDetour() {
    ++detourCalls;
    return shutdownOriginal() + 1;
}
void BW_CDECL restartDetour() {
    ++detourCalls;
    restartOriginal();
}
bool BW_THISCALL damageDetour(void* d, std::int32_t code, float a, float b) {
    ++detourCalls;
    return damageOriginal(d, code, a, b);
}
std::uint32_t BW_THISCALL resetDetour(void* d) {
    ++detourCalls;
    return resetOriginal(d);
}

void* target(game::Address a) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(a));
}

TEST(SimHooks, EveryHookTargetCanBeHookedAndCalledOnThroughItsTrampoline) {
    sim::Host host;
    ASSERT_TRUE(host.ok());
    const MH_STATUS init = MH_Initialize();
    ASSERT_TRUE(init == MH_OK || init == MH_ERROR_ALREADY_INITIALIZED);
    struct Row {
        game::Address at;
        void* detour;
        void** original;
    } rows[] = {
        {game::addr::PairContact, reinterpret_cast<void*>(&pairDetour), reinterpret_cast<void**>(&pairOriginal)},
        {game::addr::SingleContact, reinterpret_cast<void*>(&singleDetour), reinterpret_cast<void**>(&singleOriginal)},
        {game::addr::GameShutdown, reinterpret_cast<void*>(&shutdownDetour), reinterpret_cast<void**>(&shutdownOriginal)},
        {game::addr::ShutDownForRestart, reinterpret_cast<void*>(&restartDetour), reinterpret_cast<void**>(&restartOriginal)},
        {game::addr::ComponentDamage, reinterpret_cast<void*>(&damageDetour), reinterpret_cast<void**>(&damageOriginal)},
        {game::addr::DamageReset, reinterpret_cast<void*>(&resetDetour), reinterpret_cast<void**>(&resetOriginal)},
    };
    for (const Row& r : rows) {
        ASSERT_EQ(MH_OK, MH_CreateHook(target(r.at), r.detour, r.original)) << std::hex << r.at;
        ASSERT_EQ(MH_OK, MH_EnableHook(target(r.at))) << std::hex << r.at;
    }

    detourCalls = 0;
    void* a = host.addVehicle();
    void* b = host.addVehicle();
    sim::ColPoint p{};
    p.normal = {0, 0, 1};
    EXPECT_TRUE(host.collidePair(a, b, p, 100, 100));
    EXPECT_TRUE(host.collideSingle(a, nullptr, p, 100));
    EXPECT_TRUE(host.damageComponent(a, 5));
    host.resetDamage(a);
    host.shutDownForRestart();
    host.setGameShutdownResult(41);
    EXPECT_EQ(42u, host.gameShutdown());
    EXPECT_EQ(6, detourCalls);
    const sim::LifecycleCounts c = host.lifecycle();
    EXPECT_EQ(1u, c.pairContact);
    EXPECT_EQ(1u, c.singleContact);
    EXPECT_EQ(1u, c.componentDamage);
    EXPECT_EQ(1u, c.damageReset);
    EXPECT_EQ(1u, c.restart);
    EXPECT_EQ(1u, c.gameShutdown);
    EXPECT_EQ(1u, c.poolsShutdown); // reached from inside CGame::Shutdown

    for (const Row& r : rows) {
        EXPECT_EQ(MH_OK, MH_DisableHook(target(r.at)));
        EXPECT_EQ(MH_OK, MH_RemoveHook(target(r.at)));
    }
    EXPECT_EQ(0, std::memcmp(target(game::addr::PairContact), "\x55\x89\xE5\x53\x5B", 5));
}

game::PlainCallFn savedProcess = nullptr;
int frameHookCalls = 0;
void BW_CDECL frameHook() {
    ++frameHookCalls;
    savedProcess();
}

TEST(SimHooks, RewrittenCallSiteReachesTheDetourWhichCallsOn) {
    sim::Host host;
    ASSERT_TRUE(host.ok());
    const game::Address site = game::addr::ProcessCall;
    const auto* code = static_cast<const std::uint8_t*>(target(site));
    std::int32_t d;
    std::memcpy(&d, code + 1, 4);
    savedProcess = reinterpret_cast<game::PlainCallFn>(static_cast<std::uintptr_t>(site + 5 + d));
    const std::int32_t nd = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&frameHook)) - (site + 5));
    host.patchCode(site + 1, reinterpret_cast<const std::uint8_t*>(&nd), 4);
    bool inside = false;
    host.duringNextProcess([&] { inside = frameHookCalls == 1; });
    host.step();
    EXPECT_EQ(1, frameHookCalls);
    EXPECT_TRUE(inside);
    EXPECT_EQ(1u, host.lifecycle().process);
}

} // namespace
