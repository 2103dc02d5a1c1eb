#include "game/handled_vehicle.h"

#include "game/host_layout.h"
#include "guard_pages.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// A vehicle record that ends right after its kind word, at the end of a
// readable page; the next page is unreadable.
TEST(HandledVehicle, KindRenderObjectModelRangeAndAReadableRecord) {
    guardtest::Pages pages(2);
    ASSERT_TRUE(pages.ok());
    ASSERT_TRUE(pages.protect(1, PROT_NONE));
    constexpr std::size_t kSpan = game::VehicleKind + sizeof(std::int32_t);
    unsigned char* v = pages.tail(0, kSpan);
    int renderObject = 0; // an identity; never read through

    struct Case {
        const char* what;
        std::int32_t kind;
        const void* renderObject;
        std::int16_t model;
        bool handled;
    } cases[] = {
        {"kind 0, model 90", 0, &renderObject, 90, true},
        {"model 150", 0, &renderObject, 150, true},
        {"model 89", 0, &renderObject, 89, false},
        {"model 151", 0, &renderObject, 151, false},
        {"kind 1", 1, &renderObject, 90, false},
        {"no render object", 0, nullptr, 90, false},
    };
    for (const Case& c : cases) {
        game::setField<std::int32_t>(v, game::VehicleKind, c.kind);
        game::setPointerField(v, game::EntityRenderObject, c.renderObject);
        game::setField<std::int16_t>(v, game::EntityModelIndex, c.model);
        EXPECT_EQ(game::handledVehicle(v), c.handled) << c.what;
    }
    EXPECT_FALSE(game::handledVehicle(nullptr));
    // The same record one byte later: its kind word reaches the unreadable page.
    EXPECT_FALSE(game::handledVehicle(v + 1));
}

} // namespace
