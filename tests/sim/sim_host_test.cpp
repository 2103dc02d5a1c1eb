// The substitute host's address space: code at the real addresses, globals,
// the frame and the session's shutdown paths.

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>

#include "game/host_functions.h"
#include "platform/platform.h"
#include "sim/host.h"

namespace {

const std::uint8_t* at(game::Address a) {
    return reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(a));
}

TEST(SimHost, MapsTheExecutableRangeAndWritesItsCode) {
    sim::Host host;
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(0, std::memcmp(at(0x5C1E70), "\x55\x89\xE5\x53", 4));
    // Each call site is a real near call inside a thunk that can be called.
    for (game::Address site : {0x48E49Bu, 0x48D540u, 0x48C491u}) {
        EXPECT_EQ(0xE8, at(site)[0]) << std::hex << site;
    }
    // Every host function and hook target starts with the relocatable prologue
    // and a jump whose first five bytes are whole instructions.
    const game::Address functions[] = {
        0x59EDD0, 0x4A1AE0, 0x4A1AC0, 0x4A10C0, 0x4A1150, 0x5ACD10, 0x5ACF50, 0x59EFA0,
        0x5ACC30, 0x5ACC60, 0x5ACB60, 0x5ACB90, 0x5B1080, 0x5A1CE0, 0x527150, 0x527F50,
        0x545930, 0x545920, 0x545890, 0x4973A0, 0x4992A0, 0x48C3A0, 0x48C6B0, 0x545A80, 0x545850};
    for (game::Address f : functions) {
        EXPECT_EQ(0, std::memcmp(at(f), "\x55\x89\xE5\x53\x5B\x5D\xE9", 7)) << std::hex << f;
    }
    // The table points at those addresses.
    EXPECT_EQ(0x59EDD0u, reinterpret_cast<std::uintptr_t>(game::atomics));
    EXPECT_EQ(0x545890u, reinterpret_cast<std::uintptr_t>(game::getLightStatus));
    EXPECT_EQ(0x661228u, RwEngineInstance);
}

TEST(SimHost, NeverReplacesAnExistingMapping) {
    // Something else already lives inside the executable's range.
    void* other = mmap(reinterpret_cast<void*>(0x700000), 0x1000, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(reinterpret_cast<void*>(0x700000), other);
    static_cast<char*>(other)[0] = 42;
    {
        sim::Host host;
        EXPECT_FALSE(host.ok());
    }
    EXPECT_EQ(42, static_cast<char*>(other)[0]);
    munmap(other, 0x1000);

    // And a second host never takes over the first one's range.
    sim::Host first;
    ASSERT_TRUE(first.ok());
    void* v = first.addVehicle();
    {
        sim::Host second;
        EXPECT_FALSE(second.ok());
    }
    EXPECT_EQ(0xE8, at(0x48E49B)[0]);
    EXPECT_EQ(v, game::vehicleByRef(first.handleOf(v)));
}

TEST(SimHost, GlobalsSitAtTheirAddresses) {
    sim::Host host;
    ASSERT_TRUE(host.ok());
    EXPECT_NE(nullptr, game::vehiclePool());
    EXPECT_NE(nullptr, game::engineInstance());
    EXPECT_NE(nullptr, game::modelInfoTable());
    host.setClock(123456);
    std::uint32_t clock;
    std::memcpy(&clock, at(0x885B48), 4);
    EXPECT_EQ(123456u, clock);
    host.setHoldFlags(1, 3);
    EXPECT_EQ(1, at(0x95CD7C)[0]);
    EXPECT_EQ(3, at(0x95CDB1)[0]);
    host.setEngineInstance(false);
    host.setPoolPointer(false);
    host.setModelInfoTable(false);
    EXPECT_EQ(nullptr, game::engineInstance());
    EXPECT_EQ(nullptr, game::vehiclePool());
    EXPECT_EQ(nullptr, game::modelInfoTable());
    // The pool record: storage, flag bytes, slot count.
    host.setPoolPointer(true);
    host.setModelInfoTable(true);
    EXPECT_EQ(110, game::poolSize(game::vehiclePool()));
    // Rear lights in the model info table at +0x80.
    host.setRearLight(91, {0.6f, -2.0f, 0.4f});
    const auto* table = static_cast<const std::uint32_t*>(game::modelInfoTable());
    ASSERT_NE(nullptr, table);
    float light[3];
    std::memcpy(light, reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(table[91])) + 0x80, 12);
    EXPECT_EQ(0.6f, light[0]);
    EXPECT_EQ(-2.0f, light[1]);
    EXPECT_EQ(0.4f, light[2]);
}

TEST(SimHost, StepRunsTheGameProcessingThroughTheCallSite) {
    sim::Host host;
    ASSERT_TRUE(host.ok());
    host.setClock(1000);
    int ran = 0;
    std::uint32_t processSeen = 0;
    host.duringNextProcess([&] {
        ++ran;
        processSeen = host.lifecycle().process;
    });
    host.setTickCount(500);
    host.step(40);
    EXPECT_EQ(540u, platform::tickCount()); // system time moves with the frame
    EXPECT_EQ(0x400000u, platform::executableBase());
    host.setKey(0x76, true);
    EXPECT_TRUE(platform::keyDown(0x76));
    host.setKey(0x76, false);
    EXPECT_EQ(1, ran);
    EXPECT_EQ(1u, processSeen); // inside the processing call
    EXPECT_EQ(1040u, host.clock());
    host.step();
    EXPECT_EQ(1, ran); // actions run once
    EXPECT_EQ(2u, host.lifecycle().process);
}

TEST(SimHost, SessionEndReachesPoolsAndRenderWareShutdownAndLeaksNothing) {
    sim::Host host;
    ASSERT_TRUE(host.ok());
    host.setPlayerVehicle(host.addVehicle());
    sim::VehicleDesc second;
    second.model = 91;
    second.placement = sim::Matrix::identity({10, 0, 0});
    host.addVehicle(second);
    EXPECT_GT(host.accounting().liveGeometries, 20u);
    host.setGameShutdownResult(0x1234);
    EXPECT_EQ(0x1234u, host.endSession());
    const sim::LifecycleCounts c = host.lifecycle();
    EXPECT_EQ(1u, c.gameShutdown);
    EXPECT_EQ(1u, c.poolsShutdown);
    EXPECT_EQ(1u, c.rwShutdown);
    EXPECT_EQ(nullptr, game::engineInstance());
    EXPECT_EQ(nullptr, game::playerVehicle());
    const sim::Accounting a = host.accounting();
    EXPECT_EQ(0u, a.liveGeometries);
    EXPECT_EQ(0u, a.liveMaterials);
    EXPECT_EQ(0u, a.badReleases);
    EXPECT_EQ(0u, a.unsafeReleases);
    EXPECT_EQ(a.geometriesCreated, a.geometriesFreed);
}

TEST(SimHost, RestartDropsVehiclesButKeepsTheHostRunning) {
    sim::Host host;
    ASSERT_TRUE(host.ok());
    void* v = host.addVehicle();
    const std::int32_t handle = host.handleOf(v);
    host.shutDownForRestart();
    EXPECT_EQ(1u, host.lifecycle().restart);
    EXPECT_EQ(nullptr, game::vehicleByRef(handle));
    EXPECT_EQ(0u, host.accounting().liveGeometries);
    EXPECT_NE(nullptr, game::vehiclePool());
    EXPECT_NE(nullptr, host.addVehicle());
}

} // namespace
