// Vehicles in the substitute host: pool handles and generations, the vehicle
// record at the host's offsets, the procedural car, collisions and damage.

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <string>

#include "game/host_functions.h"
#include "sim/host.h"

namespace {

template <class T>
T raw(const void* record, std::uint32_t offset) {
    T v;
    std::memcpy(&v, static_cast<const unsigned char*>(record) + offset, sizeof v);
    return v;
}
void* rawPointer(const void* record, std::uint32_t offset) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(raw<std::uint32_t>(record, offset)));
}

class SimVehicle : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host.ok()); }
    sim::Host host;
};

TEST_F(SimVehicle, RecordFieldsSitAtTheHostOffsets) {
    sim::VehicleDesc desc;
    desc.model = 120;
    desc.placement = sim::Matrix::yaw(30, {5, 6, 7});
    desc.mass = 1234.5f;
    desc.health = 650.0f;
    desc.kind = 0;
    void* v = host.addVehicle(desc);
    ASSERT_NE(nullptr, v);
    EXPECT_EQ(2, raw<std::uint8_t>(v, 0x50) & 7);
    EXPECT_EQ(120, raw<std::int16_t>(v, 0x5C));
    EXPECT_EQ(1234.5f, raw<float>(v, 0xC0));
    EXPECT_EQ(650.0f, raw<float>(v, 0x200));
    EXPECT_EQ(0, raw<std::int32_t>(v, 0x284));
    EXPECT_EQ(5.0f, raw<float>(v, 0x34));
    EXPECT_EQ(7.0f, raw<float>(v, 0x3C));
    EXPECT_EQ(std::cos(30 * 3.14159265f / 180), raw<float>(v, 0x04));
    void* clump = rawPointer(v, 0x4C);
    ASSERT_NE(nullptr, clump);
    void* root = rawPointer(clump, 0x04);
    ASSERT_NE(nullptr, root);
    // The body frame follows the placement.
    const auto* m = static_cast<const float*>(game::frameLTM(root));
    EXPECT_EQ(6.0f, m[13]);
    sim::Matrix moved = sim::Matrix::identity({1, 2, 3});
    host.setPlacement(v, moved);
    m = static_cast<const float*>(game::frameLTM(root));
    EXPECT_EQ(2.0f, m[13]);
    EXPECT_EQ(2.0f, raw<float>(v, 0x38));
    // The named accessors read the same bytes.
    EXPECT_EQ(120, game::modelIndex(v));
    EXPECT_EQ(1234.5f, game::vehicleMass(v));
    EXPECT_EQ(clump, game::renderObject(v));
}

TEST_F(SimVehicle, HandlesCarrySlotAndGenerationAndSlotReuseBumpsIt) {
    void* a = host.addVehicle({90, sim::Matrix::identity(), 1500, 1000, 0, false, {}});
    void* b = host.addVehicle({90, sim::Matrix::identity(), 1500, 1000, 0, false, {}});
    const std::int32_t ha = game::vehicleRef(a);
    const std::int32_t hb = game::vehicleRef(b);
    EXPECT_EQ((0 << 8) | 1, ha);
    EXPECT_EQ((1 << 8) | 1, hb);
    EXPECT_EQ(a, game::vehicleByRef(ha));
    EXPECT_EQ(b, game::vehicleByRef(hb));
    const std::uint8_t* flags = game::poolFlags(game::vehiclePool());
    EXPECT_EQ(1, flags[0]);
    EXPECT_EQ(0x80, flags[2]); // free, generation 0

    host.removeVehicle(a);
    EXPECT_EQ(0x81, flags[0]); // free, generation kept
    EXPECT_EQ(nullptr, game::vehicleByRef(ha));
    void* c = host.addVehicle({91, sim::Matrix::identity(), 1500, 1000, 0, false, {}});
    EXPECT_EQ(a, c); // the same storage, as the host's pool reuses it
    EXPECT_EQ((0 << 8) | 2, game::vehicleRef(c));
    EXPECT_EQ(nullptr, game::vehicleByRef(ha)); // the old handle names nothing
    EXPECT_EQ(nullptr, game::vehicleByRef(-1));
    EXPECT_EQ(nullptr, game::vehicleByRef(110 << 8 | 1));
}

TEST(SimPool, GenerationWrapsInSevenBits) {
    sim::HostOptions options;
    options.poolSlots = 1;
    sim::Host host(options);
    ASSERT_TRUE(host.ok());
    std::int32_t first = -1;
    for (int i = 0; i <= 128; ++i) {
        void* v = host.addVehicle({90, sim::Matrix::identity(), 1500, 1000, 0, false, {}});
        ASSERT_NE(nullptr, v);
        if (i == 0) first = game::vehicleRef(v);
        if (i == 128) {
            EXPECT_EQ(first, game::vehicleRef(v)); // 128 reuses later: the same handle again
        }
        EXPECT_EQ(nullptr, host.addVehicle({90, sim::Matrix::identity(), 1500, 1000, 0, false, {}}));
        host.removeVehicle(v);
    }
}

TEST_F(SimVehicle, PlayerInVehicleOrOnFoot) {
    EXPECT_EQ(nullptr, game::playerVehicle());
    EXPECT_EQ(nullptr, game::playerPed());
    void* v = host.addVehicle();
    host.setPlayerVehicle(v);
    EXPECT_EQ(v, game::playerVehicle());
    void* ped = host.setPlayerOnFoot({3, 4, 5});
    EXPECT_EQ(nullptr, game::playerVehicle());
    EXPECT_EQ(ped, game::playerPed());
    EXPECT_EQ(4.0f, raw<float>(ped, 0x38));
    void* other = host.addVehicle();
    host.linkEntity(v, other);
    EXPECT_EQ(other, rawPointer(v, 0x110));
}

TEST_F(SimVehicle, ProceduralCarHasTheHostPartNamesAndRealMeshes) {
    sim::CarOptions two;
    two.texCoordSets = 2;
    void* v = host.addVehicle({100, sim::Matrix::identity(), 1500, 1000, 0, true, two});
    void* clump = game::renderObject(v);
    void* root = game::renderObjectFrame(clump);
    std::map<std::string, std::uint32_t> names; // atomic frame name -> flags
    int vertices = 0;
    for (void* a : host.atomicsOf(clump)) {
        void* f = game::atomicFrame(a);
        const char* name = game::frameName(f);
        ASSERT_NE(nullptr, name);
        names[name] = game::atomicFlags(a);
        // Atomic frame -> part dummy -> the car's root.
        void* dummy = game::frameParent(f);
        ASSERT_NE(nullptr, dummy);
        EXPECT_EQ(root, game::frameParent(dummy));
        EXPECT_NE(nullptr, std::strstr(game::frameName(dummy), "_dummy"));
        void* g = game::atomicGeometry(a);
        ASSERT_TRUE(host.isLiveGeometry(g));
        EXPECT_EQ(1, host.references(g)); // held by the atomic alone
        vertices += game::vertexCount(g);
        EXPECT_EQ(2, game::texCoordSetCount(g));
        EXPECT_NE(nullptr, game::prelitColours(g));
        EXPECT_NE(nullptr, game::morphNormals(game::morphTarget(g, host.morphOffset())));
        // Lit with a vehicle's own values, not the creation defaults.
        const game::SurfaceProperties surface = game::surfaceProperties(g);
        EXPECT_EQ(0, std::memcmp(&surface, &sim::VehicleSurface, sizeof surface));
        EXPECT_GE(game::materialCount(g), 1);
        // The atomic carries the geometry's bounding sphere.
        EXPECT_GT(game::field<float>(a, game::AtomicBoundingSphere + 12), 0.0f);
        // The engine accepts every triangle.
        EXPECT_EQ(g, game::unlock(g));
    }
    for (const char* part : {"chassis_hi", "bonnet_hi_ok", "bonnet_hi_dam", "boot_hi_ok", "boot_hi_dam",
                             "door_lf_hi_ok", "door_rr_hi_dam", "windscreen_hi_ok", "wheel", "exhaust",
                             "chassis_vlo"})
        EXPECT_EQ(1u, names.count(part)) << part;
    EXPECT_EQ(1u, names["bonnet_hi_ok"] & 3);
    EXPECT_EQ(2u, names["bonnet_hi_dam"] & 3);
    EXPECT_GT(vertices, 2000);
    EXPECT_LT(vertices, 10000);
    EXPECT_EQ(0u, host.accounting().invalidCalls);
}

TEST_F(SimVehicle, CollisionResponsesRunThroughTheirAddresses) {
    void* a = host.addVehicle({90, sim::Matrix::identity(), 1000, 1000, 0, false, {}});
    void* b = host.addVehicle({90, sim::Matrix::identity({3, 0, 0}), 2000, 1000, 0, false, {}});
    sim::ColPoint p{};
    p.point = {1.5f, 0, 0};
    p.normal = {-1, 0, 0};
    p.pieceA = 7;
    // Called directly, the way scenario code passes the record and impulses.
    sim::ColPoint record = p;
    float ia = 0, ib = 0;
    auto pair = reinterpret_cast<game::PairContactFn>(static_cast<std::uintptr_t>(0x4973A0));
    host.collidePair(a, b, p, 500, 800); // sets what the host reports
    EXPECT_TRUE(pair(a, b, &record, &ia, &ib));
    EXPECT_EQ(500.0f, ia);
    EXPECT_EQ(800.0f, ib);
    // The host reuses the record: its contents are gone after the call.
    EXPECT_TRUE(std::isnan(record.point.x));
    // Each response pushed the bodies apart along the normal (twice: two calls).
    EXPECT_FLOAT_EQ(-1.0f, game::vehicleMoveSpeed(a).x);
    EXPECT_FLOAT_EQ(0.8f, game::vehicleMoveSpeed(b).x);
    EXPECT_FALSE(host.collidePair(a, b, p, 500, 800, false));
    EXPECT_TRUE(host.collideSingle(a, nullptr, p, 250));
    EXPECT_EQ(3u, host.lifecycle().pairContact);
    EXPECT_EQ(1u, host.lifecycle().singleContact);
}

TEST_F(SimVehicle, DamageRecordCallsUseTheRecordAsThis) {
    void* v = host.addVehicle({90, sim::Matrix::identity(), 1500, 1000, 0, false, {}});
    void* d = game::vehicleDamage(v);
    EXPECT_EQ(static_cast<unsigned char*>(v) + 0x288, d);
    game::setDoorStatus(d, 2, 1);
    EXPECT_EQ(1u, game::getDoorStatus(d, 2));
    EXPECT_EQ(1, raw<std::uint8_t>(d, 0x09 + 2));
    // Door code 7 is door 2: one step per damaging call, up to 4.
    for (std::uint32_t want : {2u, 3u, 4u, 4u}) {
        host.damageComponent(v, 7);
        EXPECT_EQ(want, game::getDoorStatus(d, 2));
    }
    // Panel code 16: the 4-bit field at bit 20, up to 3.
    for (int i = 0; i < 5; ++i) host.damageComponent(v, 16);
    EXPECT_EQ(3u, (raw<std::uint32_t>(d, 0x14) >> 20) & 0xF);
    EXPECT_FALSE(host.damageComponent(v, 4)); // not a door or panel
    // Lights: two bits each in the word at +0x10.
    game::setField<std::uint32_t>(d, 0x10, 1u << 6);
    EXPECT_EQ(1u, game::getLightStatus(d, 3));
    EXPECT_EQ(0u, game::getLightStatus(d, 2));
    host.resetDamage(v);
    EXPECT_EQ(0u, game::getDoorStatus(d, 2));
    EXPECT_EQ(0u, game::damagePanelStatus(d));
    EXPECT_EQ(0u, host.accounting().invalidCalls);
}

} // namespace
