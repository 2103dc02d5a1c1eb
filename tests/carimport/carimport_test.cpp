// The car importer: part maps, the cut of parts by name and box, units and
// axes, and the car file that carries the result to the 32-bit host.
#include "carimport/import.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "scratch_dir.h"

namespace {

using namespace carimport;
using namespace carfile;

// One scratch folder for the whole program, removed with its files at exit.
std::string writeTemp(const std::string& name, const std::string& text) {
    static const bwtest::ScratchDir dir;
    return dir.write(name, text);
}

// In centimetres, y up, nose on -z (the usual glTF and OBJ habit): a body of
// one quad and one pentagon, and a hood of two triangles far forward.
const char* const kObj = "o Body\n"
                         "v -100 0 100\nv 100 0 100\nv 100 0 -100\nv -100 0 -100\nv 0 0 -150\n"
                         "f 1 2 3 4\nf 1 2 3 5 4\n"
                         "o Hood\n"
                         "v -50 80 -200\nv 50 80 -200\nv 50 80 -300\nv -50 80 -300\n"
                         "f 6 7 8\nf 6 8 9\n";

bool importWith(const std::string& mapText, ImportResult& result, std::string& error) {
    const std::string mesh = writeTemp("car.obj", kObj);
    PartMap map;
    return parsePartMap("car.map", mapText, map, error) && importCar(mesh, map, result, error);
}

const CarAtomic* atomicNamed(const Car& car, const std::string& name) {
    for (const CarAtomic& a : car.atomics)
        if (car.frames[a.frame].name == name) return &a;
    return nullptr;
}

// Position of vertex v of atomic a in the car's body frame.
std::array<float, 3> bodyPosition(const Car& car, const CarAtomic& a, std::size_t v) {
    std::array<float, 3> p{a.positions[3 * v], a.positions[3 * v + 1], a.positions[3 * v + 2]};
    for (std::int32_t f = static_cast<std::int32_t>(a.frame); f >= 0; f = car.frames[f].parent)
        for (int k = 0; k < 3; ++k)
            p[k] += car.frames[f].matrix[9 + k];
    return p;
}

TEST(PartMap, EveryFaultNamesItsLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"part a/b Body\nfrobnicate\n", "car.map:2: unknown directive 'frobnicate'"},
        {"# c\n\npart bonnet_dummy/b Body box 0 0 0 1 1\n", "car.map:3: box takes six numbers"},
        {"part b Body box 0 0 0 1 -1 1\n", "car.map:1: box is empty"},
        {"part b Body\npart b Hood\n", "car.map:2: atomic b is already made on line 1"},
        {"copy b_dam b\n", "car.map:1: copy of b, which no earlier line makes"},
        {"axes +x +x\npart b Body\n", "car.map:1: forward and up are the same axis"},
        {"scale 0\n", "car.map:1: scale takes one positive number"},
        {"prelit 1.5\n", "car.map:1: prelit takes one number from 0 to 1"},
        {"part a_name_longer_than_23_bytes Body\n", "car.map:1: part needs a frame path"},
        {"part b\n", "car.map:1: part names no source part"},
        {"offset 1 2\n", "car.map:1: offset takes three numbers"},
        {"part b Body box 0 0 0 1 1 1 wholly\n", "car.map:1: box takes six numbers"},
    };
    for (const auto& c : cases) {
        PartMap map;
        std::string error;
        EXPECT_FALSE(parsePartMap("car.map", c.text, map, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
}

// A mesh without vertex colours carries the given share of its material's
// colour as prelit light, opacity kept.
TEST(Import, PrelitShareDimsTheMaterialColour) {
    ImportResult r;
    std::string error;
    ASSERT_TRUE(importWith("prelit 0.5\nrest chassis_hi\n", r, error)) << error;
    const CarAtomic& a = r.car.atomics.at(0);
    const std::uint32_t material = r.car.materials.at(a.triangles.at(0).material).colour;
    ASSERT_GT(material & 0xFFu, 0u);
    for (int b = 0; b < 3; ++b)
        EXPECT_NEAR(a.prelit[b], ((material >> (8 * b)) & 0xFF) * 0.5, 1.0);
    EXPECT_EQ(a.prelit[3], material >> 24);
}

TEST(Import, ConvertsUnitsAndAxesAndCutsWholeTrianglesByBox) {
    ImportResult r;
    std::string error;
    ASSERT_TRUE(importWith("scale 0.01\naxes -z +y\noffset 0 0 0.5\n"
                           "part bonnet_dummy/bonnet_hi_ok Hood\n"
                           "copy bonnet_dummy/bonnet_hi_dam bonnet_dummy/bonnet_hi_ok\n"
                           "part boot_dummy/boot_hi_ok Body box -2 -2 -1 2 0.2 1 whole\n"
                           "rest chassis_hi\n",
                           r, error))
        << error;
    const Car& car = r.car;
    ASSERT_EQ(car.atomics.size(), 4u);
    EXPECT_EQ(r.leftOut, 0u);
    const CarAtomic* hood = atomicNamed(car, "bonnet_hi_ok");
    const CarAtomic* damaged = atomicNamed(car, "bonnet_hi_dam");
    ASSERT_TRUE(hood && damaged);
    EXPECT_EQ(hood->flags, 1u);
    EXPECT_EQ(damaged->flags, 2u);
    EXPECT_EQ(damaged->positions, hood->positions);
    EXPECT_EQ(car.frames[hood->frame].parent, car.frames[damaged->frame].parent)
        << "one dummy for both variants";
    // Source (50, 80, -300) cm with y up and the nose on -z: 0.5 m right,
    // 3 m forward, 0.8 m up, then raised by the offset.
    bool found = false;
    for (std::size_t v = 0; v < hood->vertexCount(); ++v) {
        const auto p = bodyPosition(car, *hood, v);
        found = found || (std::fabs(p[0] - 0.5f) < 1e-5f && std::fabs(p[1] - 3.0f) < 1e-5f &&
                          std::fabs(p[2] - 1.3f) < 1e-5f);
    }
    EXPECT_TRUE(found);
    for (std::size_t v = 0; v < hood->vertexCount(); ++v)
        EXPECT_NEAR(hood->normals[3 * v + 2], 1.0f, 1e-4f) << "normals turned up";
    EXPECT_EQ(hood->triangles.size(), 2u);
    EXPECT_EQ(hood->vertexCount(), 4u) << "the shared corners stay shared";
    // The quad and the pentagon become five triangles; those whose centroid
    // lies behind y = 0.2 are the boot, the others the chassis.
    const CarAtomic* boot = atomicNamed(car, "boot_hi_ok");
    const CarAtomic* chassis = atomicNamed(car, "chassis_hi");
    ASSERT_TRUE(boot && chassis);
    EXPECT_EQ(boot->triangles.size() + chassis->triangles.size(), 5u);
    EXPECT_GT(boot->triangles.size(), 0u);
    EXPECT_GT(chassis->triangles.size(), 0u);
    for (const CarTriangle& t : boot->triangles) {
        float y = 0;
        for (std::uint16_t v : t.vertex)
            y += bodyPosition(car, *boot, v)[1] / 3;
        EXPECT_LE(y, 0.2f);
    }
}

TEST(Import, AMissingPartOrAnEmptyRegionIsAnErrorAtItsLine) {
    const struct {
        const char* map;
        const char* error;
    } cases[] = {
        {"part b Body\npart c Bonnet\n", "car.map:2: no part named 'Bonnet'"},
        {"axes -z +y\nscale 0.01\npart b Body box 5 5 5 6 6 6\n",
         "car.map:3: the box catches no triangle"},
        {"part b Hood\npart c Hood\n", "car.map:2: no triangle is left"},
        {"part b *\nrest c\n", "car.map:2: no triangle is left for c"},
    };
    for (const auto& c : cases) {
        ImportResult r;
        std::string error;
        EXPECT_FALSE(importWith(c.map, r, error)) << c.map;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    }
    PartMap map;
    std::string error;
    ASSERT_TRUE(parsePartMap("car.map", "part b *\n", map, error));
    ImportResult r;
    EXPECT_FALSE(importCar(writeTemp("broken.obj", "this is no mesh\n"), map, r, error));
}

// AC3D, the real cars' format: a named group takes its children's
// triangles, each placed by every "loc" above it; a strip becomes triangles;
// the material's colour becomes the material and the prelit colour.
TEST(Import, AGroupTakesItsChildrenWhereverTheyArePlaced) {
    const std::string mesh = writeTemp(
        "car.ac", "AC3Db\n"
                  "MATERIAL \"red\" rgb 1 0 0  amb 0.2 0.2 0.2  emis 0 0 0  spec 0.5 0.5 0.5  shi "
                  "10  trans 0\n"
                  "OBJECT world\nkids 2\n"
                  "OBJECT group\nname \"door\"\nloc 1 0 0\nkids 1\n"
                  "OBJECT poly\nname \"skin\"\nloc 0 2 0\nnumvert 4\n0 0 0\n0 0 -1\n0 1 0\n0 1 "
                  "-1\nnumsurf 1\n"
                  "SURF 0x14\nmat 0\nrefs 4\n0 0 0\n1 1 0\n2 0 1\n3 1 1\nkids 0\n"
                  "OBJECT poly\nname \"roof\"\nnumvert 3\n0 0 0\n1 0 0\n0 0 -1\nnumsurf 1\n"
                  "SURF 0x10\nmat 0\nrefs 3\n0 0 0\n1 1 0\n2 0 1\nkids 0\n");
    PartMap map;
    std::string error;
    ASSERT_TRUE(parsePartMap("car.map",
                             "axes -z +y\npart door_lf_dummy/door_lf_hi_ok door\nrest chassis_hi\n",
                             map, error));
    ImportResult r;
    ASSERT_TRUE(importCar(mesh, map, r, error)) << error;
    const CarAtomic* door = atomicNamed(r.car, "door_lf_hi_ok");
    ASSERT_TRUE(door);
    EXPECT_EQ(door->triangles.size(), 2u);
    ASSERT_EQ(door->vertexCount(), 4u);
    EXPECT_EQ(atomicNamed(r.car, "chassis_hi")->triangles.size(), 1u);
    // Source x 1 + 0, y 2 + 0..1, z 0..-1: 1 m right, 0..1 m forward, 2..3 m up.
    for (std::size_t v = 0; v < 4; ++v) {
        const auto p = bodyPosition(r.car, *door, v);
        EXPECT_NEAR(p[0], 1.0f, 1e-5f);
        EXPECT_TRUE(p[1] > -1e-5f && p[1] < 1.0f + 1e-5f);
        EXPECT_TRUE(p[2] > 2.0f - 1e-5f && p[2] < 3.0f + 1e-5f);
    }
    for (const CarMaterial& m : r.car.materials)
        EXPECT_EQ(m.colour, 0xFF0000FFu);
    EXPECT_EQ(std::vector<std::uint8_t>(door->prelit.begin(), door->prelit.begin() + 4),
              (std::vector<std::uint8_t>{255, 0, 0, 255}));
}

// A gently curved 6 x 6 grid of 2 m square (game axes, z = 0.1 x y) whose
// texture coordinates follow the position, u = (x + 1) / 2 and v = (y + 1) / 2,
// except that the right half's u is one more: a seam at x = 0 that splits
// the vertices there.
std::string curvedGrid() {
    std::string obj = "o Sheet\n";
    const int n = 6;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            const float x = -1 + 2.0f * i / n, y = -1 + 2.0f * j / n;
            obj += "v " + std::to_string(x) + " " + std::to_string(y) + " " +
                   std::to_string(0.1f * x * y) + "\n";
            obj += "vt " + std::to_string((x + 1) / 2) + " " + std::to_string((y + 1) / 2) + "\n";
            obj +=
                "vt " + std::to_string((x + 1) / 2 + 1) + " " + std::to_string((y + 1) / 2) + "\n";
        }
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const int a = j * (n + 1) + i + 1, b = a + 1, c = a + n + 1, d = c + 1;
            const int seam = i < n / 2 ? 0 : 1; // which vt of the pair
            auto corner = [&](int v) {
                return " " + std::to_string(v) + "/" + std::to_string(2 * v - 1 + seam);
            };
            obj += "f" + corner(a) + corner(b) + corner(d) + "\nf" + corner(a) + corner(d) +
                   corner(c) + "\n";
        }
    return obj;
}

using Triangle3 = std::array<std::array<float, 3>, 3>;

std::vector<Triangle3> trianglesOf(const Car& car, const CarAtomic& a) {
    std::vector<Triangle3> out;
    for (const CarTriangle& t : a.triangles)
        out.push_back({bodyPosition(car, a, t.vertex[0]), bodyPosition(car, a, t.vertex[1]),
                       bodyPosition(car, a, t.vertex[2])});
    return out;
}

float area(const Triangle3& t) {
    float e[2][3], c[3];
    for (int k = 0; k < 3; ++k)
        e[0][k] = t[1][k] - t[0][k], e[1][k] = t[2][k] - t[0][k];
    c[0] = e[0][1] * e[1][2] - e[0][2] * e[1][1];
    c[1] = e[0][2] * e[1][0] - e[0][0] * e[1][2];
    c[2] = e[0][0] * e[1][1] - e[0][1] * e[1][0];
    return 0.5f * std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
}

// Edges that only one triangle of the list has, both ways round.
std::vector<std::array<std::array<float, 3>, 2>> openEdges(const std::vector<Triangle3>& tris) {
    auto near = [](const std::array<float, 3>& a, const std::array<float, 3>& b) {
        return std::fabs(a[0] - b[0]) < 1e-5f && std::fabs(a[1] - b[1]) < 1e-5f &&
               std::fabs(a[2] - b[2]) < 1e-5f;
    };
    std::vector<std::array<std::array<float, 3>, 2>> edges, open;
    for (const Triangle3& t : tris)
        for (int k = 0; k < 3; ++k)
            edges.push_back({t[k], t[(k + 1) % 3]});
    for (const auto& e : edges) {
        int uses = 0;
        for (const auto& f : edges)
            uses +=
                (near(e[0], f[0]) && near(e[1], f[1])) || (near(e[0], f[1]) && near(e[1], f[0]));
        if (uses == 1) open.push_back(e);
    }
    return open;
}

// The box's piece of every triangle goes to the part, the rest stays behind;
// the two meet edge for edge along the cut (no crack), nothing is lost, and
// texture coordinates and normals are carried onto the new corners.
TEST(BoxCut, ThePartLiesInTheBoxTheRestOutsideAndTheirCutEdgesMatch) {
    const std::string mesh = writeTemp("grid.obj", curvedGrid());
    const float lo[3] = {-0.55f, -0.35f, -0.02f}, hi[3] = {0.45f, 0.6f, 1.0f};
    PartMap map;
    std::string error;
    ASSERT_TRUE(
        parsePartMap("grid.map",
                     "part bonnet_dummy/bonnet_hi_ok Sheet box -0.55 -0.35 -0.02 0.45 0.6 1\n"
                     "rest chassis_hi\n",
                     map, error));
    ImportResult r;
    ASSERT_TRUE(importCar(mesh, map, r, error)) << error;
    const CarAtomic* part = atomicNamed(r.car, "bonnet_hi_ok");
    const CarAtomic* rest = atomicNamed(r.car, "chassis_hi");
    ASSERT_TRUE(part && rest);
    EXPECT_EQ(r.leftOut, 0u);

    for (std::size_t v = 0; v < part->vertexCount(); ++v) {
        const auto p = bodyPosition(r.car, *part, v);
        for (int k = 0; k < 3; ++k) {
            EXPECT_GE(p[k], lo[k] - 1e-5f);
            EXPECT_LE(p[k], hi[k] + 1e-5f);
        }
        // Positions in game axes; texture v is flipped on import.
        const float u = part->uv[0][2 * v], tv = part->uv[0][2 * v + 1];
        const float base = (p[0] + 1) / 2;
        EXPECT_TRUE(std::fabs(u - base) < 1e-4f || std::fabs(u - base - 1) < 1e-4f) << u;
        EXPECT_NEAR(tv, 1 - (p[1] + 1) / 2, 1e-4f);
        const float* n = &part->normals[3 * v];
        EXPECT_NEAR(n[0] * n[0] + n[1] * n[1] + n[2] * n[2], 1.0f, 1e-4f);
    }
    const std::vector<Triangle3> inside = trianglesOf(r.car, *part),
                                 outside = trianglesOf(r.car, *rest);
    for (const Triangle3& t : outside) {
        bool out = false;
        for (int k = 0; k < 3; ++k) {
            const float c = (t[0][k] + t[1][k] + t[2][k]) / 3;
            out = out || c < lo[k] + 1e-6f || c > hi[k] - 1e-6f;
        }
        EXPECT_TRUE(out) << "a piece left behind lies inside the box";
    }
    float total = 0;
    for (const auto* list : {&inside, &outside})
        for (const Triangle3& t : *list)
            total += area(t);
    float source = 0;
    {
        ImportResult whole;
        ASSERT_TRUE(parsePartMap("grid.map", "rest chassis_hi\n", map, error));
        ASSERT_TRUE(importCar(mesh, map, whole, error)) << error;
        for (const Triangle3& t : trianglesOf(whole.car, whole.car.atomics[0]))
            source += area(t);
    }
    EXPECT_NEAR(total, source, source * 1e-5f);

    // Every open edge of the part that is not the sheet's own border is an
    // open edge of what is left, the same two points.
    const auto partEdges = openEdges(inside), restEdges = openEdges(outside);
    std::size_t cutEdges = 0;
    for (const auto& e : partEdges) {
        if (std::fabs(e[0][0]) > 0.999f && std::fabs(e[0][0] - e[1][0]) < 1e-6f) continue;
        if (std::fabs(e[0][1]) > 0.999f && std::fabs(e[0][1] - e[1][1]) < 1e-6f) continue;
        ++cutEdges;
        bool matched = false;
        for (const auto& f : restEdges) {
            float d = 0;
            for (int k = 0; k < 3; ++k)
                d = std::max({d, std::fabs(e[0][k] - f[1][k]), std::fabs(e[1][k] - f[0][k])});
            matched = matched || d < 1e-5f;
        }
        EXPECT_TRUE(matched) << "crack at (" << e[0][0] << ", " << e[0][1] << ")";
    }
    EXPECT_GT(cutEdges, 12u);
}

// Textures: an image stb reads is kept as PNG; one it does not read is
// looked for as the PNG of the same name; each file that cannot be had is
// named once and the import goes on.
TEST(Import, KeepsTexturesAndNamesEveryFileItCannotFind) {
    // A 2 x 1 binary PPM: stb reads it whatever the file is called.
    const std::string ppm =
        std::string("P6\n2 1\n255\n") + std::string("\xff\x00\x00\x00\x00\xff", 6);
    writeTemp("paint.rgb", "an SGI image stb does not read");
    writeTemp("paint.png", ppm);
    writeTemp("car.mtl", "newmtl paint\nKd 1 1 1\nmap_Kd paint.rgb\n"
                         "newmtl glass\nKd 0.5 0.5 0.5\nmap_Kd tinted.png\n");
    const std::string quad = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n";
    const std::string mesh =
        writeTemp("textured.obj", "mtllib car.mtl\n" + quad +
                                      "o Body\nusemtl paint\nf 1/1 2/2 3/3\n"
                                      "o Glass\nusemtl glass\nf 1/1 3/3 4/4\n");
    PartMap map;
    std::string error;
    ASSERT_TRUE(parsePartMap("car.map", "rest chassis_hi\n", map, error));
    ImportResult r;
    ASSERT_TRUE(importCar(mesh, map, r, error)) << error;
    ASSERT_EQ(r.car.textures.size(), 1u);
    EXPECT_EQ(r.car.textures[0].name, "paint");
    EXPECT_EQ(std::string(r.car.textures[0].png.begin(), r.car.textures[0].png.begin() + 4),
              "\x89PNG");
    std::size_t textured = 0;
    for (const CarMaterial& m : r.car.materials)
        textured += m.texture == 0 ? 1 : 0;
    EXPECT_EQ(textured, 1u);
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0].find("texture tinted.png: cannot find "), 0u) << r.warnings[0];

    // A material library that is not there (and not the name assimp falls
    // back on, which the mesh does not name).
    const std::string bare = writeTemp("bare.obj", "mtllib gone.mtl\n" + quad + "f 1 2 3\n");
    ASSERT_TRUE(importCar(bare, map, r, error)) << error;
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_NE(r.warnings[0].find("cannot find"), std::string::npos) << r.warnings[0];
    EXPECT_NE(r.warnings[0].find("gone.mtl"), std::string::npos) << r.warnings[0];
}

TEST(CarFile, RoundTripsAndRefusesEveryTruncationAndBadIndex) {
    ImportResult r;
    std::string error;
    ASSERT_TRUE(importWith("part bonnet_dummy/bonnet_hi_ok Hood\nrest chassis_hi\n", r, error))
        << error;
    r.car.textures.push_back({"paint", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 1, 2, 3}});
    r.car.materials[0].texture = 0;
    const std::string path = writeTemp("car.bwcar", "");
    ASSERT_TRUE(writeCar(path, r.car, error)) << error;
    Car back;
    ASSERT_TRUE(readCar(path, back, error)) << error;
    EXPECT_EQ(encodeCar(back), encodeCar(r.car));
    const std::vector<std::uint8_t> bytes = encodeCar(r.car);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        Car c;
        EXPECT_FALSE(decodeCar(
            std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(n)), c,
            error))
            << n;
        EXPECT_TRUE(c.atomics.empty() && c.frames.empty());
    }
    Car bad = r.car;
    bad.atomics[0].triangles[0].vertex[1] =
        static_cast<std::uint16_t>(bad.atomics[0].vertexCount());
    EXPECT_FALSE(decodeCar(encodeCar(bad), back, error));
    EXPECT_EQ(error, "a triangle names no vertex");
    EXPECT_FALSE(writeCar(path, bad, error));

    bad = r.car;
    bad.materials[0].texture = 1;
    EXPECT_EQ(checkCar(bad), "a material names no texture");
    for (const char* name : {"", ".hidden", "a/b", "name with blanks"}) {
        bad = r.car;
        bad.textures[0].name = name;
        EXPECT_EQ(checkCar(bad).find("texture name"), 0u) << name;
    }
    bad = r.car;
    bad.textures[0].png[1] = 'J';
    EXPECT_EQ(checkCar(bad), "texture 'paint' is not a PNG image");

    // A file of the first version says what to do about it.
    std::vector<std::uint8_t> old = bytes;
    old[7] = '1';
    EXPECT_FALSE(decodeCar(old, back, error));
    EXPECT_NE(error.find("convert its mesh again with bw_carimport"), std::string::npos) << error;
}

} // namespace
