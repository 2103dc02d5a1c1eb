#include "game/registry.h"

#include "guard_pages.h"
#include "hostile_geometry.h"

#include <gtest/gtest.h>

#include <functional>

using game::materialTableSafe;
using guardtest::GeometryDesc;
using guardtest::HandGeometry;
using guardtest::Pages;

namespace {

struct Case {
    const char* what;
    std::int32_t materials;
    std::function<void(HandGeometry&)> spoil;
    bool safe;
};

void setCounts(HandGeometry& g, std::int32_t count, std::int32_t capacity) {
    g.set<std::int32_t>(game::GeometryMaterialCount, count);
    g.set<std::int32_t>(game::GeometryMaterialCapacity, capacity);
}

} // namespace

TEST(MaterialTable, CountsPointersAndAlignment) {
    Pages pages(2);
    ASSERT_TRUE(pages.ok());
    ASSERT_TRUE(pages.protect(1, PROT_NONE));
    // Two valid entries that end exactly at the inaccessible page.
    auto* edge = reinterpret_cast<std::uint32_t*>(pages.tail(0, 8));

    const Case cases[] = {
        {"one material", 1, nullptr, true},
        {"128 materials", 128, nullptr, true},
        {"129 materials", 129, nullptr, false},
        {"no material", 1, [](HandGeometry& g) { setCounts(g, 0, 0); }, false},
        {"negative count", 1, [](HandGeometry& g) { setCounts(g, -1, 4); }, false},
        {"capacity 4096", 2, [](HandGeometry& g) { setCounts(g, 2, 4096); }, true},
        {"capacity 4097", 2, [](HandGeometry& g) { setCounts(g, 2, 4097); }, false},
        {"capacity below count", 2, [](HandGeometry& g) { setCounts(g, 2, 1); }, false},
        {"table null", 2, [](HandGeometry& g) { g.setPointer(game::GeometryMaterials, nullptr); }, false},
        {"table below 0x10000", 2, [](HandGeometry& g) { g.set<std::uint32_t>(game::GeometryMaterials, 0xFFFC); }, false},
        {"table at the top of the address space", 2, [](HandGeometry& g) { g.set<std::uint32_t>(game::GeometryMaterials, 0xFFFFFFF8u); }, false},
        {"table ends at an inaccessible page", 2, [edge](HandGeometry& g) {
             edge[0] = edge[1] = guardtest::addressOf(g.materialTable());
             g.setPointer(game::GeometryMaterials, edge);
         }, true},
        {"table runs into an inaccessible page", 3, [edge](HandGeometry& g) {
             edge[0] = edge[1] = guardtest::addressOf(g.materialTable());
             g.setPointer(game::GeometryMaterials, edge);
         }, false},
        {"misaligned entry", 3, [](HandGeometry& g) { g.materialTable()[2] += 2; }, false},
        {"null entry", 3, [](HandGeometry& g) { g.materialTable()[1] = 0; }, false},
        {"small entry", 3, [](HandGeometry& g) { g.materialTable()[0] = 0xFFFC; }, false},
    };
    for (const Case& c : cases) {
        GeometryDesc desc;
        desc.materials = c.materials;
        HandGeometry g(desc);
        if (c.spoil) c.spoil(g);
        EXPECT_EQ(materialTableSafe(g.record()), c.safe) << c.what;
    }
}

TEST(MaterialTable, ImplausibleGeometryRecords) {
    Pages pages(2);
    ASSERT_TRUE(pages.ok());
    ASSERT_TRUE(pages.protect(1, PROT_NONE));
    EXPECT_FALSE(materialTableSafe(nullptr));
    EXPECT_FALSE(materialTableSafe(reinterpret_cast<void*>(0x8000)));
    EXPECT_FALSE(materialTableSafe(reinterpret_cast<void*>(UINTPTR_MAX - 0x20)));
    // A header whose 84 bytes run into the inaccessible page.
    EXPECT_FALSE(materialTableSafe(pages.tail(0, game::GeometryHeaderSize - 1)));
}
