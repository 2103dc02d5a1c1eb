// Whole sessions of the plug-in in the substitute host: the shared library is
// loaded with dlopen from a scratch folder beside its settings file, entered
// like a loader enters the DLL, and its log is compared line by line.
//
// A loaded plug-in keeps its process-wide state for good (as in the game), so
// every session runs as its own test process (see CMakeLists.txt).

#include "game/host_layout.h"
#include "platform/platform.h"
#include "scratch_dir.h"
#include "sim/host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using AttachFn = int (*)(void* module, unsigned long reason, void* reserved);

constexpr game::Address kCallSites[3] = {game::addr::ProcessCall, game::addr::RwShutdownCall,
                                         game::addr::PoolsShutdownCall};
constexpr game::Address kHookRows[4] = {game::addr::PairContact, game::addr::SingleContact,
                                        game::addr::GameShutdown, game::addr::ShutDownForRestart};

const char* const kBanner = "Bucklewright 0.1.4 experimental - two-sided panels sharing vertices and lighting";
const char* const kActive = "Active. Player first; nearby NPCs according to Traffic settings. F7 restores player "
                            "geometry. Physical collision remains stock in this GTA III port.";
const char* const kLifecycleHooks = "Lifecycle hooks active: cleanup before CGame::Shutdown and ShutDownForRestart.";
const char* const kContactHooks =
    "Contact hooks active: GTA III pair and alternate/static paths; original physics preserved.";
const char* const kRetention = "Part retention active: 2 separate attempts per delayed stage; 750 ms contact gap.";
const char* const kProbe = "Geometry ABI: validated morphTarget offset=0x5C; CPU buffer guard active.";

using Lines = std::vector<std::string>;

// The lines a release with `begin` writes, `count` records.
Lines release(const std::string& begin, unsigned count) {
    return {begin, "Lifecycle: releasing " + std::to_string(count) + " tracked vehicles.",
            "Lifecycle: Bucklewright cleanup complete."};
}

Lines bracket(const std::string& begin, unsigned count, const std::string& what) {
    Lines l = release(begin, count);
    l.push_back("Lifecycle: executing original " + what + ".");
    l.push_back("Lifecycle: original " + what + " returned.");
    return l;
}

Lines poolsShutdown(unsigned count) {
    return bracket("Lifecycle: pools shutdown begin; fallback cleanup.", count, "pools shutdown");
}
Lines renderWareShutdown(unsigned count) {
    return bracket("Lifecycle: RenderWare shutdown begin; fallback cleanup.", count, "RenderWare shutdown");
}

Lines& operator+=(Lines& a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The game's shutdown after a session: CGame::Shutdown releases `count`
// records and runs the pools shutdown inside it, which finds nothing left;
// RenderWare's shutdown follows.
Lines gameShutdown(unsigned count) {
    Lines l = bracket("Lifecycle: CGame::Shutdown begin; early cleanup.", count, "CGame::Shutdown");
    const Lines inner = poolsShutdown(0);
    l.insert(l.end() - 1, inner.begin(), inner.end());
    return l += renderWareShutdown(0);
}

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.ok());
        ASSERT_EQ(::symlink(BW_PLUGIN_PATH, dir.file("bucklewright.so").c_str()), 0);
        for (game::Address site : kCallSites) callBytes.push_back(codeAt(site, 5));
        for (game::Address row : kHookRows) rowBytes.push_back(codeAt(row, 5));
    }

    void TearDown() override {
        const sim::Accounting a = host.accounting();
        EXPECT_EQ(a.liveGeometries, baseline) << "geometry leaked or freed too often";
        EXPECT_EQ(a.badReleases, 0u);
        EXPECT_EQ(a.unsafeReleases, 0u);
        EXPECT_EQ(a.invalidCalls, 0u);
        EXPECT_TRUE(host.atomicsOnLiveGeometries());
    }

    // Writes the settings file and enters the plug-in. The library is never
    // closed: its hooks and fault reporter stay for the life of the process.
    void attach(const std::string& ini = "") {
        dir.write("bucklewright.ini", ini);
        baseline = host.accounting().liveGeometries;
        module = ::dlopen(dir.file("bucklewright.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << ::dlerror();
        auto entry = reinterpret_cast<AttachFn>(::dlsym(module, "bucklewright_attach"));
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry(module, 2, nullptr), 1); // thread attach: nothing happens
        EXPECT_TRUE(log().empty());
        EXPECT_EQ(entry(module, 1, nullptr), 1);
    }

    Lines log() const {
        const std::string text = bwtest::readFile(dir.file("bucklewright.log"));
        Lines lines;
        std::size_t from = 0;
        for (std::size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
            lines.push_back(text.substr(from, at - from));
        EXPECT_EQ(from, text.size()) << "a line without CR LF";
        return lines;
    }

    // Expected lines ending in '*' match by prefix.
    void expectLog(const Lines& expected, bool withLights = false) const {
        Lines got;
        for (const std::string& l : log())
            if (withLights || l.rfind("RearLight:", 0) != 0) got.push_back(l);
        for (std::size_t i = 0; i < expected.size() || i < got.size(); ++i) {
            const std::string want = i < expected.size() ? expected[i] : "<end of log>";
            const std::string have = i < got.size() ? got[i] : "<end of log>";
            if (!want.empty() && want.back() == '*')
                EXPECT_EQ(have.rfind(want.substr(0, want.size() - 1), 0), 0u) << "line " << i << ": " << have;
            else
                EXPECT_EQ(have, want) << "line " << i;
        }
    }

    static std::vector<std::uint8_t> codeAt(game::Address at, std::size_t n) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(at));
        return std::vector<std::uint8_t>(p, p + n);
    }

    bool callSitesUntouched() const {
        for (int i = 0; i < 3; ++i)
            if (codeAt(kCallSites[i], 5) != callBytes[i]) return false;
        return true;
    }

    // Makes the code page holding `at` a read-only shared mapping of its own
    // bytes: it still reads and runs, but its protection can no longer be
    // made writable.
    static void freezePage(game::Address at) {
        const std::uintptr_t page = at & ~std::uintptr_t(0xFFF);
        std::vector<std::uint8_t> bytes = codeAt(static_cast<game::Address>(page), 0x1000);
        const int fd = ::memfd_create("frozen-page", 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), 0x1000);
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const int ro = ::open(self.c_str(), O_RDONLY);
        ASSERT_GE(ro, 0);
        void* m = ::mmap(reinterpret_cast<void*>(page), 0x1000, PROT_READ | PROT_EXEC, MAP_SHARED | MAP_FIXED, ro, 0);
        ASSERT_EQ(m, reinterpret_cast<void*>(page));
        ::close(ro);
        ::close(fd);
        ASSERT_NE(::mprotect(reinterpret_cast<void*>(page), 0x1000, PROT_READ | PROT_WRITE | PROT_EXEC), 0);
    }

    void* car(dent::Vec at = {0, 0, 0}, int model = 90) {
        sim::VehicleDesc desc;
        desc.model = model;
        desc.placement = sim::Matrix::identity(at);
        void* v = host.addVehicle(desc);
        sources[v] = geometries(v);
        return v;
    }

    std::vector<void*> geometries(void* vehicle) {
        std::vector<void*> out;
        for (void* atomic : host.atomicsOf(game::renderObject(vehicle))) out.push_back(game::atomicGeometry(atomic));
        return out;
    }

    static sim::ColPoint colPoint(dent::Vec p, dent::Vec n) {
        sim::ColPoint c{};
        c.point = p;
        c.normal = n;
        c.pieceA = 5;
        c.pieceB = 7;
        return c;
    }

    // One frame in which `a` and `b` collide at `p` (normal facing `a`).
    void crash(void* a, void* b, dent::Vec p, dent::Vec n, float impulseA, float impulseB) {
        host.duringNextProcess([=] { host.collidePair(a, b, colPoint(p, n), impulseA, impulseB); });
        host.step();
    }

    // True when any atomic of the vehicle draws something else than the
    // geometry it had when the car was built.
    bool drawsCopies(void* vehicle) {
        const std::vector<void*> now = geometries(vehicle);
        return now != sources[vehicle];
    }

    // Room for more cars than the contact queue holds.
    static sim::HostOptions hostOptions() {
        sim::HostOptions options;
        options.poolSlots = 300;
        return options;
    }

    sim::Host host{hostOptions()};
    bwtest::ScratchDir dir;
    std::vector<std::vector<std::uint8_t>> callBytes, rowBytes;
    std::uint32_t baseline = 0;
    void* module = nullptr; // the handle the loader holds
    std::map<void*, std::vector<void*>> sources;
};

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
    expectLog({kBanner, "Unsupported executable: requires classic GTA III PC 1.0 English; disabled."});
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
    EXPECT_EQ(codeAt(game::addr::PairContact, 5), rowBytes[0]) << "no inline hook without the frame hook";
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
    for (game::Address row : kHookRows) EXPECT_EQ(codeAt(row, 1)[0], 0xE9);
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
    for (int k = 0; k < 4; ++k) EXPECT_EQ(codeAt(kHookRows[k], 5), rowBytes[static_cast<std::size_t>(k)]) << k;

    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    EXPECT_FALSE(drawsCopies(player)) << "no contacts without the hooks";
    host.endSession();
    Lines want{kBanner, kActive,
               std::string("Contact hook ") + names[row] + " failed: MH_ERROR_UNSUPPORTED_FUNCTION; deformation disabled.",
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
    for (int k = 0; k < 4; ++k) EXPECT_EQ(codeAt(kHookRows[k], 5), rowBytes[static_cast<std::size_t>(k)]) << k;
    host.endSession();
    Lines want{kBanner, kActive, "Contact hook activation failed; deformation disabled.", kRetention, kProbe};
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
    Lines want{kBanner, kActive, kLifecycleHooks, kContactHooks,
               "Part retention: hook conflict/failure; stock detachment retained.", kProbe};
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
    ASSERT_EQ(::dlclose(module), 0);
    void* still = ::dlopen(dir.file("bucklewright.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(still, nullptr) << "the module was unloaded";
    if (still != nullptr) ::dlclose(still);
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    EXPECT_TRUE(drawsCopies(player));
    host.endSession();
}

TEST_F(Session, ModulePinFailureIsOneLine) {
    platform::testing::setModulePinFails(true);
    attach();
    platform::testing::setModulePinFails(false);
    host.step();
    expectLog({kBanner, "Could not pin module; an unload would leave hooks behind.", kActive,
               kLifecycleHooks, kContactHooks, kRetention, kProbe});
    host.endSession();
}

// ---- play -------------------------------------------------------------------------------

TEST_F(Session, CollisionDentsPlayerAndTraffic) {
    attach();
    void* player = car();
    void* other = car({0, 4, 0}, 95);
    host.setPlayerVehicle(player);
    host.step();
    crash(player, other, {0, 2, 0.5f}, {0, -1, 0}, 900, 900);
    EXPECT_TRUE(drawsCopies(player));
    EXPECT_TRUE(drawsCopies(other));
    host.endSession();
    Lines want{kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention, kProbe,
               "PanelMesh: kind=bonnet variant=original *", "PanelFold: kind=bonnet variant=original *",
               "PanelMesh: kind=bonnet variant=damaged *", "PanelFold: kind=bonnet variant=damaged *",
               "Hit: actor=player handle=1 model=90 episode=1 impact=0.6000 impulse=900.0 mass=1500.0 *",
               "PanelMesh: kind=boot variant=original *", "PanelFold: kind=boot variant=original *",
               "PanelMesh: kind=boot variant=damaged *", "PanelFold: kind=boot variant=damaged *",
               "Hit: actor=npc handle=257 model=95 episode=1 impact=0.6000 impulse=900.0 mass=1500.0 *"};
    want += gameShutdown(2);
    expectLog(want);
    EXPECT_EQ(host.lifecycle().gameShutdown, 1u);
    EXPECT_EQ(host.lifecycle().poolsShutdown, 1u);
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
    Lines want{kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention, kProbe,
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
    for (int i = 0; i < 257; ++i) traffic.push_back(car({0, 10.0f + float(i), 0}, 95));
    host.step();
    // 258 cars struck at their fronts in one frame: the queue keeps 256.
    host.duringNextProcess([&] {
        for (int i = 0; i < 257; ++i)
            host.collideSingle(traffic[i], nullptr, colPoint({0, 12.0f + float(i), 0.5f}, {0, -1, 0}), 600);
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

    Lines want{kBanner, kActive, kLifecycleHooks, kContactHooks, kRetention, kProbe, "Player deformation reset."};
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
