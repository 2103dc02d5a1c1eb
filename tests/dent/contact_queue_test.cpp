#include "dent/contact_queue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using dent::Contact;
using dent::ContactQueue;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Distinct fake host addresses; the queue only compares them.
char gVehicles[300];
char gRenderObjects[300];

// Each contact's response is told apart by its piece.
Contact contactFor(int vehicle, float impulse, std::uint32_t piece = 0) {
    return {&gVehicles[vehicle],
            256 * vehicle + 5,
            &gRenderObjects[vehicle],
            {0.5f, 1.0f, 0.2f},
            {0.0f, -1.0f, 0.0f},
            impulse,
            piece,
            {0.4f, 0.1f * float(piece + 1), 1.5f}};
}

TEST(ContactQueue, InvalidContactsAreRefusedWithoutCountingThemAsDropped) {
    struct Case {
        const char* what;
        void (*spoil)(Contact&);
    } cases[] = {
        {"null vehicle", [](Contact& c) { c.vehicle = nullptr; }},
        {"null render object", [](Contact& c) { c.renderObject = nullptr; }},
        {"NaN point", [](Contact& c) { c.point.y = kNaN; }},
        {"infinite point", [](Contact& c) { c.point.z = -kInf; }},
        {"NaN normal", [](Contact& c) { c.normal.x = kNaN; }},
        {"infinite normal", [](Contact& c) { c.normal.y = kInf; }},
        {"zero impulse", [](Contact& c) { c.impulse = 0.0f; }},
        {"negative impulse", [](Contact& c) { c.impulse = -10.0f; }},
        {"NaN impulse", [](Contact& c) { c.impulse = kNaN; }},
        {"infinite impulse", [](Contact& c) { c.impulse = kInf; }},
        {"normal shorter than 0.01",
         [](Contact& c) {
             c.normal = {0.0f, -0.0099f, 0.0f};
         }},
        {"zero normal",
         [](Contact& c) {
             c.normal = {0.0f, 0.0f, 0.0f};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ContactQueue<256> queue{};
        Contact bad = contactFor(1, 500.0f);
        c.spoil(bad);
        EXPECT_FALSE(queue.add(bad));
        EXPECT_EQ(queue.count, 0u);
        EXPECT_EQ(queue.dropped, 0u);

        // An invalid contact never disturbs a stored one either.
        ASSERT_TRUE(queue.add(contactFor(1, 100.0f, 7)));
        Contact worse = contactFor(1, 900.0f);
        c.spoil(worse);
        EXPECT_FALSE(queue.add(worse));
        EXPECT_EQ(queue.entries[0].piece, 7u);
    }
    // An unnormalised but long enough normal is accepted as it is.
    ContactQueue<256> queue{};
    Contact longNormal = contactFor(1, 500.0f);
    longNormal.normal = {0.0f, 0.0f, 0.01f};
    EXPECT_TRUE(queue.add(longNormal));
}

TEST(ContactQueue, KeepsTheStrongestContactPerIdentityAndTheFirstOfEqualOnes) {
    struct Case {
        const char* what;
        float first, second;
        std::uint32_t keptPiece; // first contact carries piece 1, second piece 2
    } cases[] = {
        {"stronger second replaces", 100.0f, 200.0f, 2},
        {"weaker second is ignored", 200.0f, 100.0f, 1},
        {"equal impulse keeps the first", 150.0f, 150.0f, 1},
        {"smallest step above replaces", 150.0f, 150.00002f, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ContactQueue<256> queue{};
        ASSERT_TRUE(queue.add(contactFor(3, c.first, 1)));
        EXPECT_TRUE(queue.add(contactFor(3, c.second, 2)));
        EXPECT_EQ(queue.count, 1u);
        EXPECT_EQ(queue.entries[0].piece, c.keptPiece);
        // The dent goes with the contact kept.
        EXPECT_EQ(queue.entries[0].response.depth, contactFor(3, 0, c.keptPiece).response.depth);
    }
}

TEST(ContactQueue, ChangedIdentityReplacesInPlaceEvenWhenWeaker) {
    struct Case {
        const char* what;
        void (*change)(Contact&);
    } cases[] = {
        {"new handle", [](Contact& c) { c.handle += 256; }},
        {"new render object", [](Contact& c) { c.renderObject = &gRenderObjects[299]; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ContactQueue<256> queue{};
        ASSERT_TRUE(queue.add(contactFor(1, 100.0f)));
        ASSERT_TRUE(queue.add(contactFor(2, 900.0f, 1)));
        ASSERT_TRUE(queue.add(contactFor(3, 100.0f)));
        Contact reborn = contactFor(2, 10.0f, 2);
        c.change(reborn);
        EXPECT_TRUE(queue.add(reborn));
        ASSERT_EQ(queue.count, 3u);
        // Same slot: arrival order is kept.
        EXPECT_EQ(queue.entries[1].piece, 2u);
        EXPECT_EQ(queue.entries[1].handle, reborn.handle);
        EXPECT_EQ(queue.entries[1].renderObject, reborn.renderObject);
        EXPECT_EQ(queue.entries[1].impulse, 10.0f);
        EXPECT_EQ(queue.entries[2].vehicle, &gVehicles[3]);
    }
}

TEST(ContactQueue, FullQueueRefusesNewVehiclesButStillUpdatesQueuedOnes) {
    ContactQueue<256> queue{};
    for (int v = 0; v < 256; ++v)
        ASSERT_TRUE(queue.add(contactFor(v, 100.0f)));
    EXPECT_EQ(queue.count, 256u);

    EXPECT_FALSE(queue.add(contactFor(256, 900.0f)));
    EXPECT_FALSE(queue.add(contactFor(257, 900.0f)));
    EXPECT_EQ(queue.dropped, 2u);
    EXPECT_EQ(queue.find(&gVehicles[256], 256 * 256 + 5, &gRenderObjects[256]), nullptr);

    EXPECT_TRUE(queue.add(contactFor(200, 300.0f, 9)));
    EXPECT_EQ(queue.entries[200].piece, 9u);
    EXPECT_EQ(queue.count, 256u);
    EXPECT_EQ(queue.dropped, 2u);

    queue.reset();
    EXPECT_EQ(queue.count, 0u);
    EXPECT_EQ(queue.dropped, 0u);
    EXPECT_TRUE(queue.add(contactFor(256, 900.0f)));
    EXPECT_EQ(queue.entries[0].vehicle, &gVehicles[256]);
}

TEST(ContactQueue, DroppedCounterSaturatesInsteadOfWrappingToZero) {
    ContactQueue<1> queue{};
    ASSERT_TRUE(queue.add(contactFor(0, 100.0f)));
    queue.dropped = UINT32_MAX - 1;
    EXPECT_FALSE(queue.add(contactFor(1, 100.0f)));
    EXPECT_FALSE(queue.add(contactFor(2, 100.0f)));
    EXPECT_EQ(queue.dropped, UINT32_MAX);
}

TEST(ContactQueue, ACountBeyondCapacityNeverReachesPastTheArray) {
    ContactQueue<2> queue{};
    ASSERT_TRUE(queue.add(contactFor(0, 100.0f)));
    ASSERT_TRUE(queue.add(contactFor(1, 100.0f)));
    queue.count = 1000; // as if someone scribbled on it
    EXPECT_FALSE(queue.add(contactFor(2, 100.0f)));
    EXPECT_EQ(queue.dropped, 1u);
    EXPECT_EQ(queue.find(&gVehicles[2], 2 * 256 + 5, &gRenderObjects[2]), nullptr);
    EXPECT_NE(queue.find(&gVehicles[1], 1 * 256 + 5, &gRenderObjects[1]), nullptr);
}

TEST(ContactQueue, FindNeedsAllThreeIdentityFields) {
    ContactQueue<256> queue{};
    for (int v = 0; v < 4; ++v)
        ASSERT_TRUE(queue.add(contactFor(v, 100.0f, std::uint32_t(v))));
    const Contact* hit = queue.find(&gVehicles[2], 2 * 256 + 5, &gRenderObjects[2]);
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit, &queue.entries[2]);

    const struct {
        const char* what;
        const void* vehicle;
        std::int32_t handle;
        const void* renderObject;
    } misses[] = {
        {"other vehicle", &gVehicles[3], 2 * 256 + 5, &gRenderObjects[2]},
        {"other handle", &gVehicles[2], 2 * 256 + 6, &gRenderObjects[2]},
        {"other render object", &gVehicles[2], 2 * 256 + 5, &gRenderObjects[3]},
        {"unqueued vehicle", &gVehicles[9], 9 * 256 + 5, &gRenderObjects[9]},
        {"null vehicle", nullptr, 0, nullptr},
    };
    for (const auto& m : misses) {
        SCOPED_TRACE(m.what);
        EXPECT_EQ(queue.find(m.vehicle, m.handle, m.renderObject), nullptr);
    }
    // Holding a vehicle asks for its pointer alone.
    EXPECT_TRUE(queue.holds(&gVehicles[2]));
    EXPECT_FALSE(queue.holds(&gVehicles[9]));
    EXPECT_FALSE(queue.holds(nullptr));

    queue.reset();
    EXPECT_EQ(queue.find(&gVehicles[2], 2 * 256 + 5, &gRenderObjects[2]), nullptr);
}

} // namespace
