// Whole sessions on either plug-in binary: both must write the same log,
// byte for byte.

#include "session_fixture.h"

namespace {

using namespace bwsession;

// ---- start-up stops ---------------------------------------------------------------

TEST_F(Session, WrongExecutableBase) {
    platform::testing::setExecutableBase(0x10000000);
    attach("[General]\nLogHits=1\n");
    platform::testing::setExecutableBase(game::addr::ImageBase);
    host.step();
    expectLog({kBanner, "Unsupported executable base; disabled."});
    EXPECT_TRUE(callSitesUntouched());
    EXPECT_EQ(host.lifecycle().process, 1u);
}

TEST_F(Session, WrongSignature) {
    const std::uint8_t other[4] = {0x55, 0x89, 0xE5, 0x56};
    host.patchCode(game::addr::Signature, other, sizeof other);
    attach();
    host.step();
    expectLog(
        {kBanner, "Unsupported executable: requires classic GTA III PC 1.0 English; disabled."});
    EXPECT_TRUE(callSitesUntouched());
}

TEST_F(Session, DisabledInSettings) {
    attach("[General]\nEnabled=0\n");
    host.step();
    host.endSession();
    expectLog({kBanner, "Disabled in INI."});
    EXPECT_TRUE(callSitesUntouched());
}

TEST_F(Session, CallSiteTakenByAnotherPlugin) {
    // Another plug-in's jump where the pools shutdown call was.
    std::vector<std::uint8_t> jump = callBytes[2];
    jump[0] = 0xE9;
    host.patchCode(game::addr::PoolsShutdownCall, jump.data(), jump.size());
    attach();
    expectLog({kBanner, "Hook sites changed by another mod; disabled."});
    EXPECT_EQ(codeAt(kCallSites[0], 5), callBytes[0]);
    EXPECT_EQ(codeAt(kCallSites[1], 5), callBytes[1]);
    host.patchCode(game::addr::PoolsShutdownCall, callBytes[2].data(), 5);
}

TEST_F(Session, ThirdCallSitePatchFails) {
    freezePage(game::addr::ProcessCall);
    attach();
    void* player = car();
    host.setPlayerVehicle(player);
    host.step();
    host.endSession();
    Lines want{kBanner, "Could not install process hook; no deformation enabled."};
    // CGame::Shutdown is not hooked; its pools shutdown call and the
    // RenderWare shutdown call reach their detours.
    want += poolsShutdown(0);
    want += renderWareShutdown(0);
    expectLog(want);
    EXPECT_EQ(codeAt(game::addr::ProcessCall, 5), callBytes[0]);
    EXPECT_EQ(codeAt(game::addr::PairContact, 5), rowBytes[0])
        << "no inline hook without the frame hook";
    EXPECT_EQ(host.lifecycle().process, 1u);
}

// ---- the first frame ----------------------------------------------------------------

TEST_F(Session, FirstFrameInstallsHooksBeforeTheGameProcesses) {
    attach();
    void* player = car();
    host.setPlayerVehicle(player);
    Lines seenDuringProcess;
    host.duringNextProcess([&] { seenDuringProcess = log(); });
    host.step();
    host.step();
    const Lines head{kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention};
    EXPECT_EQ(seenDuringProcess, head);
    Lines want = head;
    want.push_back(kProbe);
    expectLog(want);
    for (game::Address row : kHookRows)
        EXPECT_EQ(codeAt(row, 1)[0], 0xE9);
    EXPECT_EQ(codeAt(game::addr::ComponentDamage, 1)[0], 0xE9);
    EXPECT_EQ(host.lifecycle().process, 2u);
    host.endSession();
}

// ---- hook installation failures --------------------------------------------------------

class RowFailure : public Session, public ::testing::WithParamInterface<int> {};

TEST_P(RowFailure, LeavesNoContactOrLifecycleHook) {
    const int row = GetParam();
    const char* const names[4] = {"004973A0", "004992A0", "0048C3A0", "0048C6B0"};
    attach();
    void* player = car();
    void* other = car({0, 4, 0});
    host.setPlayerVehicle(player);
    // A target the engine cannot move: it returns within its first bytes.
    const std::uint8_t ret = 0xC3;
    host.patchCode(kHookRows[row], &ret, 1);
    host.step();
    host.patchCode(kHookRows[row], rowBytes[static_cast<std::size_t>(row)].data(), 1);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(codeAt(kHookRows[k], 5), rowBytes[static_cast<std::size_t>(k)]) << k;

    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    EXPECT_FALSE(drawsCopies(player)) << "no contacts without the hooks";
    host.endSession();
    Lines want{kBanner, kActive,
               std::string("Contact hook ") + names[row] +
                   " failed: MH_ERROR_UNSUPPORTED_FUNCTION; deformation disabled.",
               kRetention, kProbe};
    want += poolsShutdown(0);
    want += renderWareShutdown(0);
    expectLog(want);
}
INSTANTIATE_TEST_SUITE_P(EachRow, RowFailure, ::testing::Values(0, 1, 2, 3));

TEST_F(Session, ActivationFailureRemovesAllFour) {
    attach();
    // CGame::Shutdown's page can no longer be written: its enable fails after
    // the two contact hooks were enabled.
    freezePage(game::addr::GameShutdown);
    host.step();
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(codeAt(kHookRows[k], 5), rowBytes[static_cast<std::size_t>(k)]) << k;
    host.endSession();
    Lines want{kBanner, kActive, "Contact hook activation failed; deformation disabled.",
               kRetention, kProbe};
    want += poolsShutdown(0);
    want += renderWareShutdown(0);
    expectLog(want);
}

TEST_F(Session, PartRetentionConflict) {
    attach("[PartRetention]\nAttemptsPerStage=3\n");
    std::vector<std::uint8_t> jump = codeAt(game::addr::DamageReset, 5);
    const std::vector<std::uint8_t> original = jump;
    const std::vector<std::uint8_t> damageBytes = codeAt(game::addr::ComponentDamage, 5);
    jump[0] = 0xE9;
    host.patchCode(game::addr::DamageReset, jump.data(), jump.size());
    host.step();
    host.step();
    EXPECT_EQ(codeAt(game::addr::ComponentDamage, 5), damageBytes);
    host.patchCode(game::addr::DamageReset, original.data(), original.size());
    host.endSession();
    Lines want{kBanner,
               kActive,
               kLifecycleHooks,
               kContactHooks,
               "Part retention: hook conflict/failure; stock detachment retained.",
               kProbe};
    want += gameShutdown(0);
    expectLog(want);
}

TEST_F(Session, NoPartRetentionWithOneAttempt) {
    attach("[PartRetention]\nAttemptsPerStage=0\n");
    host.step();
    expectLog({kBanner, kActive, kLifecycleHooks, kContactHooks, kProbe});
    host.endSession();
}

// ---- the module stays ----------------------------------------------------------------

// A loader that lets go of the module must not take the hooks' code away.
TEST_F(Session, ModuleStaysWhenTheLoaderLetsGo) {
    attach();
    void* player = car();
    void* other = car({0, 4, 0});
    host.setPlayerVehicle(player);
    host.step();
    ASSERT_TRUE(plugin->release());
    ASSERT_TRUE(plugin->loaded()) << "the module was unloaded";
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    EXPECT_TRUE(drawsCopies(player));
    host.endSession();
}

TEST_F(Session, ModulePinFailureIsOneLine) {
    // On Windows the pin is the module's one handle request by address (its
    // path comes from the handle the entry is given).
    if (onDll())
        failOnUse("GetModuleHandleExA", 1);
    else
        platform::testing::setModulePinFails(true);
    attach();
    if (onDll()) failOnUse("GetModuleHandleExA", 0);
    platform::testing::setModulePinFails(false);
    host.step();
    expectLog({kBanner, "Could not pin module; an unload would leave hooks behind.", kActive,
               kLifecycleHooks, kContactHooks, kRetention, kProbe});
    host.endSession();
}

// ---- play -------------------------------------------------------------------------------

// The log of a crash between the player and a traffic car, with the probe's
// line `probe`.
Lines collisionLog(const char* probe) {
    Lines want{
        kBanner,
        kActive,
        kLifecycleHooks,
        kContactHooks,
        kRetention,
        probe,
        "PanelMesh: kind=bonnet variant=original *",
        "PanelFold: kind=bonnet variant=original *",
        "Hit: actor=player handle=1 model=90 episode=1 impact=0.6000 impulse=900.0 mass=1500.0 *",
        "PanelMesh: kind=boot variant=original *",
        "PanelFold: kind=boot variant=original *",
        "Hit: actor=npc handle=257 model=95 episode=1 impact=0.6000 impulse=900.0 mass=1500.0 *"};
    return want += gameShutdown(2);
}

TEST_F(Session, CollisionDentsPlayerAndTraffic) {
    attach();
    const auto [player, other] = playerStrikesVanAhead();
    EXPECT_TRUE(drawsCopies(player));
    EXPECT_TRUE(drawsCopies(other));
    // Every copy, panels rebuilt as creased meshes too, is lit as its source.
    for (void* v : {player, other}) {
        const std::vector<void*> now = geometries(v);
        for (std::size_t i = 0; i < now.size(); ++i) {
            const game::SurfaceProperties copy = game::surfaceProperties(now[i]);
            const game::SurfaceProperties source = game::surfaceProperties(sources[v][i]);
            EXPECT_EQ(std::memcmp(&copy, &source, sizeof copy), 0) << "atomic " << i;
        }
    }
    host.endSession();
    expectLog(collisionLog(kProbe));
    EXPECT_EQ(host.lifecycle().gameShutdown, 1u);
    EXPECT_EQ(host.lifecycle().poolsShutdown, 1u);
}

// The same session on an engine build that keeps the morph-target pointer at
// 0x5C, where the geometry holds no surface properties.
class SessionAt5C : public Session {
  protected:
    SessionAt5C() : Session(sim::MorphLayout::At5C) {}
};

TEST_F(SessionAt5C, CollisionDentsPlayerAndTraffic) {
    attach();
    const auto [player, other] = playerStrikesVanAhead();
    EXPECT_TRUE(drawsCopies(player));
    EXPECT_TRUE(drawsCopies(other));
    host.endSession();
    expectLog(collisionLog(kProbeAt5C));
}

// The damaged bonnet is built in the frame in which the game first shows it,
// with the dent of the earlier crash; never before.
TEST_F(Session, DamagedPanelBuiltWhenTheGameShowsIt) {
    attach();
    void* player = playerStrikesVanAhead().first;
    host.step();
    const std::size_t beforeShown = log().size();
    host.duringNextProcess([&] { host.damageComponent(player, 5); }); // the bonnet's damage
    host.step();
    EXPECT_EQ(log().size(), beforeShown + 2) << "built in the frame it shows";
    host.endSession();
    Lines want{
        kBanner,
        kActive,
        kLifecycleHooks,
        kContactHooks,
        kRetention,
        kProbe,
        "PanelMesh: kind=bonnet variant=original *",
        "PanelFold: kind=bonnet variant=original *",
        "Hit: actor=player handle=1 model=90 episode=1 impact=0.6000 impulse=900.0 mass=1500.0 *",
        "PanelMesh: kind=boot variant=original *",
        "PanelFold: kind=boot variant=original *",
        "Hit: actor=npc handle=257 model=95 episode=1 impact=0.6000 impulse=900.0 mass=1500.0 *",
        "PanelMesh: kind=bonnet variant=damaged *",
        "PanelFold: kind=bonnet variant=damaged *"};
    want += gameShutdown(2);
    expectLog(want);
}

TEST_F(Session, RearLightSmashed) {
    attach("[Traffic]\nAffectNPCs=0\n");
    void* player = car();
    void* other = car({0, -4.5f, 0});
    host.setPlayerVehicle(player);
    host.step();
    // Struck from behind at the left rear light; the normal faces the player.
    crash(player, other, {-0.7f, -2.1f, 0.3f}, {0, 1, 0}, 900, 900);
    const std::uint32_t lights = game::damageLightStatus(game::vehicleDamage(player));
    EXPECT_NE(lights & 0xFFu, 0u) << "a rear light is broken";
    EXPECT_FALSE(drawsCopies(other)) << "traffic is off";
    Lines lightLines;
    for (const std::string& l : log())
        if (l.rfind("RearLight:", 0) == 0) lightLines.push_back(l);
    ASSERT_FALSE(lightLines.empty());
    EXPECT_EQ(lightLines[0], "RearLight: actor=player side=left model=90 smashed");
    host.endSession();
}

TEST_F(Session, DoorHeldForSeparateAttempts) {
    attach();
    void* player = car();
    host.setPlayerVehicle(player);
    host.step();
    const auto door = [&] {
        return game::field<std::uint8_t>(game::vehicleDamage(player), game::DamageDoorStatus);
    };
    const auto hitDoor = [&](std::uint32_t ms) {
        host.duringNextProcess([&] { host.damageComponent(player, 5); });
        host.step(ms);
    };
    hitDoor(33);
    EXPECT_EQ(door(), 1);
    hitDoor(1000); // first attempt at the next stage: held
    EXPECT_EQ(door(), 1);
    hitDoor(100); // the same attempt still: held, not counted
    EXPECT_EQ(door(), 1);
    hitDoor(1000); // a separate second attempt: let through
    EXPECT_EQ(door(), 2);
    host.endSession();
    Lines want{kBanner,
               kActive,
               kLifecycleHooks,
               kContactHooks,
               kRetention,
               kProbe,
               "PartRetention: component=5 stage=1->2 attempt=1/2 held=1",
               "PartRetention: component=5 stage=1->2 attempt=2/2 held=0"};
    want += gameShutdown(0);
    expectLog(want);
}

TEST_F(Session, ContactQueueFullIsLoggedOncePerFrame) {
    attach("[General]\nLogHits=1\n[Traffic]\nMaxNPCPerFrame=1\n");
    void* player = car();
    host.setPlayerVehicle(player);
    std::vector<void*> traffic;
    for (int i = 0; i < 257; ++i)
        traffic.push_back(car({0, 10.0f + float(i), 0}, 95));
    host.step();
    // 258 cars struck at their fronts in one frame: the queue keeps 256.
    host.duringNextProcess([&] {
        for (int i = 0; i < 257; ++i)
            host.collideSingle(traffic[i], nullptr,
                               colPoint({0, 12.0f + float(i), 0.5f}, {0, -1, 0}), 600);
        host.collideSingle(player, nullptr, colPoint({0, 2, 0.5f}, {0, -1, 0}), 600);
    });
    host.step();
    host.step(); // a quiet frame: nothing to report
    host.endSession();
    const std::string full = "Contact queue full: excess impacts skipped for this frame.";
    const Lines lines = log();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), full), 1);
}

TEST_F(Session, F7AndRepair) {
    attach("[General]\nLogHits=0\n");
    void* player = car();
    void* other = car({0, 4, 0});
    host.setPlayerVehicle(player);
    host.step();
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    ASSERT_TRUE(drawsCopies(player));

    // Held for several frames: one reset.
    host.setKey(0x76, true);
    host.step();
    host.step();
    host.setKey(0x76, false);
    host.step();
    EXPECT_FALSE(drawsCopies(player));

    // Dented again, then repaired by the game: a health rise.
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    ASSERT_TRUE(drawsCopies(player));
    game::setField<float>(player, game::VehicleHealth, 500.0f);
    host.step();
    game::setField<float>(player, game::VehicleHealth, 1000.0f);
    host.step();
    EXPECT_FALSE(drawsCopies(player));

    // F7 on foot does nothing.
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    host.setPlayerOnFoot({10, 0, 0});
    host.setKey(0x76, true);
    host.step();
    host.setKey(0x76, false);
    EXPECT_TRUE(drawsCopies(player));
    host.endSession();

    Lines want{kBanner,
               kActive,
               kLifecycleHooks,
               kContactHooks,
               kRetention,
               kProbe,
               "Player deformation reset."};
    want += gameShutdown(2);
    expectLog(want);
}

TEST_F(Session, RestartThenShutdown) {
    attach("[General]\nLogHits=0\n");
    void* player = car();
    void* other = car({0, 4, 0});
    host.setPlayerVehicle(player);
    host.step();
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    ASSERT_TRUE(drawsCopies(player));
    host.shutDownForRestart(); // the game destroys its vehicles after the release

    player = car();
    other = car({0, 4, 0});
    host.setPlayerVehicle(player);
    host.step();
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    EXPECT_TRUE(drawsCopies(player)) << "dents resume after a restart";
    EXPECT_TRUE(drawsCopies(other));

    host.setGameShutdownResult(0x1234);
    EXPECT_EQ(host.endSession(), 0x1234u);
    // After CGame::Shutdown nothing is captured or dented any more.
    host.step();
    EXPECT_EQ(host.lifecycle().process, 5u);

    Lines want{kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention, kProbe};
    want += bracket("Lifecycle: ShutDownForRestart begin; early cleanup.", 2, "ShutDownForRestart");
    want += gameShutdown(2);
    expectLog(want);
}

TEST_F(Session, GateHoldsFrameWorkButNotTheGame) {
    attach("[General]\nLogHits=0\n");
    void* player = car();
    void* other = car({0, 4, 0});
    host.setPlayerVehicle(player);
    host.setHoldFlags(0x01, 0x00);
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    host.setHoldFlags(0x00, 0x03);
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    host.setHoldFlags(0, 0);
    host.setEngineInstance(false);
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    EXPECT_FALSE(drawsCopies(player));
    EXPECT_EQ(host.lifecycle().process, 3u);
    EXPECT_EQ(host.lifecycle().pairContact, 3u);
    expectLog({kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention}); // no probe yet
    host.setEngineInstance(true);
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    EXPECT_TRUE(drawsCopies(player));
    host.endSession();
}

} // namespace
