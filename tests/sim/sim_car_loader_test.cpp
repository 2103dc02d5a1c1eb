// A car file built on the substitute host: frames, atomics and geometries as
// the file says, every record accounted, and a malformed file building nothing.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "carfile/car_file.h"
#include "game/host_functions.h"
#include "sim/host.h"

#include "scratch_dir.h"

namespace {

// A dummy at (0, 1.5, 0.5) with a damaged bonnet of one triangle below it,
// in a textured material.
carfile::Car oneBonnet() {
    carfile::Car car;
    carfile::CarFrame dummy;
    dummy.name = "bonnet_dummy";
    dummy.matrix[10] = 1.5f;
    dummy.matrix[11] = 0.5f;
    carfile::CarFrame own;
    own.name = "bonnet_hi_dam";
    own.parent = 0;
    car.frames = {dummy, own};
    car.textures = {{"paint", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}}};
    car.materials = {{0xFF0000FFu}, {0xFFFFFFFFu, 0}};
    carfile::CarAtomic a;
    a.frame = 1;
    a.flags = 2;
    a.texSets = 2;
    a.positions = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    a.normals = {0, 0, 1, 0, 0, 1, 0, 0, 1};
    a.prelit = std::vector<std::uint8_t>(12, 200);
    a.uv[0] = a.uv[1] = {0, 0, 1, 0, 0, 1};
    a.triangles = {{{0, 1, 2}, 1}};
    car.atomics = {a};
    return car;
}

// One scratch folder for the whole program, removed with its files at exit.
std::string fileWith(const std::vector<std::uint8_t>& bytes) {
    static const bwtest::ScratchDir dir;
    return dir.write("car.bwcar", std::string(bytes.begin(), bytes.end()));
}

TEST(SimCarLoader, BuildsTheFileWithTheHostsOwnRecords) {
    sim::Host host;
    ASSERT_TRUE(host.ok());
    void* clump = host.createRenderObject(host.createFrame("car", nullptr));
    std::string error;
    ASSERT_TRUE(sim::loadCar(host, clump, fileWith(carfile::encodeCar(oneBonnet())), error))
        << error;
    const std::vector<void*> atomics = host.atomicsOf(clump);
    ASSERT_EQ(atomics.size(), 1u);
    void* frame = game::atomicFrame(atomics[0]);
    EXPECT_STREQ(game::frameName(frame), "bonnet_hi_dam");
    EXPECT_EQ(game::atomicFlags(atomics[0]), 2u);
    const auto* world = static_cast<const float*>(game::frameLTM(frame));
    EXPECT_FLOAT_EQ(world[13], 1.5f);
    EXPECT_FLOAT_EQ(world[14], 0.5f);
    void* g = game::atomicGeometry(atomics[0]);
    EXPECT_EQ(game::vertexCount(g), 3);
    EXPECT_EQ(game::triangleCount(g), 1);
    EXPECT_EQ(game::texCoordSetCount(g), 2);
    EXPECT_EQ(host.references(g), 1) << "the atomic holds the only reference";
    // The material names its texture where the game keeps the name.
    void* material = game::pointerField(game::materialTable(g), 0);
    void* texture = game::pointerField(material, game::MaterialTexture);
    ASSERT_NE(texture, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(game::bytesAt(texture, game::TextureName)), "paint");
    const sim::Accounting a = host.accounting();
    EXPECT_EQ(a.liveGeometries, 1u);
    EXPECT_EQ(a.liveMaterials, 1u)
        << "the material in use lives on in the geometry's table, the other went";
    EXPECT_EQ(a.invalidCalls + a.badReleases, 0u);

    // A file cut short, or one whose triangle names a missing vertex, builds nothing.
    std::vector<std::uint8_t> cut = carfile::encodeCar(oneBonnet());
    cut.pop_back();
    EXPECT_FALSE(sim::loadCar(host, clump, fileWith(cut), error));
    carfile::Car bad = oneBonnet();
    bad.atomics[0].triangles[0].vertex[2] = 3;
    EXPECT_FALSE(sim::loadCar(host, clump, fileWith(carfile::encodeCar(bad)), error));
    EXPECT_EQ(host.atomicsOf(clump).size(), 1u);
    EXPECT_EQ(host.accounting().liveGeometries, 1u);
}

} // namespace
