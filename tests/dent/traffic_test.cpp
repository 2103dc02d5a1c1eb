#include "dent/traffic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <vector>

namespace {

using dent::TrafficCandidate;
using dent::Vec;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(InTrafficRange, BoundaryIsInAndInvalidInputIsOut) {
    const struct {
        const char* what;
        Vec a, b;
        float range;
        bool inRange;
    } cases[] = {
        {"exactly at the range", {0, 0, 0}, {3, 4, 0}, 5.0f, true},
        {"a little farther", {0, 0, 0}, {3, 4.001f, 0}, 5.0f, false},
        {"well inside, in 3D", {100, -50, 10}, {102, -51, 12}, 5.0f, true},
        {"same point", {7, 7, 7}, {7, 7, 7}, 0.5f, true},
        {"zero range", {7, 7, 7}, {7, 7, 7}, 0.0f, false},
        {"negative range", {0, 0, 0}, {1, 0, 0}, -5.0f, false},
        {"NaN range", {0, 0, 0}, {1, 0, 0}, kNaN, false},
        {"infinite range", {0, 0, 0}, {1, 0, 0}, kInf, false},
        {"NaN in a", {0, kNaN, 0}, {1, 0, 0}, 5.0f, false},
        {"infinite in b", {0, 0, 0}, {0, 0, -kInf}, 5.0f, false},
        {"distance overflows", {-3e38f, 0, 0}, {3e38f, 0, 0}, 1e19f, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(dent::inTrafficRange(c.a, c.b, c.range), c.inRange);
        EXPECT_EQ(dent::inTrafficRange(c.b, c.a, c.range), c.inRange);
    }
}

TEST(TrafficPriority, LinkedThenNearerThenSmallerHandle) {
    const TrafficCandidate linkedFar{nullptr, 900.0f, true, 0x1200};
    const TrafficCandidate near{nullptr, 4.0f, false, 0x0500};
    const TrafficCandidate tieLowHandle{nullptr, 25.0f, false, 0x0100};
    const TrafficCandidate tieHighHandle{nullptr, 25.0f, false, 0x0300};
    const TrafficCandidate negativeHandle{nullptr, 25.0f, false, -0x0100};
    const struct {
        const char* what;
        TrafficCandidate first, second;
    } cases[] = {
        {"linked goes first even when farthest", linkedFar, near},
        {"nearer goes first", near, tieLowHandle},
        {"equal distance: smaller handle", tieLowHandle, tieHighHandle},
        {"handles compare signed", negativeHandle, tieLowHandle},
        {"NaN distance ranks after every number",
         {nullptr, kInf, false, 9},
         {nullptr, kNaN, false, 1}},
        {"linked wins over NaN rules", {nullptr, kNaN, true, 9}, {nullptr, 1.0f, false, 1}},
        {"two NaNs: by handle", {nullptr, kNaN, false, 1}, {nullptr, kNaN, false, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(dent::trafficPriority(c.first, c.second));
        EXPECT_FALSE(dent::trafficPriority(c.second, c.first));
        EXPECT_FALSE(dent::trafficPriority(c.first, c.first));
    }
}

// The comparison is handed to a sort; anything but a strict weak order there
// is undefined behaviour. Checks irreflexivity, asymmetry and transitivity
// over awkward values, then that sorting lands on the one expected list.
TEST(TrafficPriority, IsAStrictOrderForSortingAnyInput) {
    std::vector<TrafficCandidate> all = {
        {nullptr, 16.0f, false, 7},  {nullptr, kNaN, false, 3},  {nullptr, 0.0f, false, 9},
        {nullptr, 16.0f, false, 2},  {nullptr, kInf, false, 1},  {nullptr, -0.0f, false, 4},
        {nullptr, 100.0f, true, 8},  {nullptr, kNaN, false, -5}, {nullptr, 1.0f, false, 6},
        {nullptr, 16.0f, false, -1},
    };
    const auto before = dent::trafficPriority;
    for (const auto& a : all) {
        EXPECT_FALSE(before(a, a));
        for (const auto& b : all) {
            if (before(a, b)) {
                EXPECT_FALSE(before(b, a));
            }
            for (const auto& c : all) {
                if (before(a, b) && before(b, c)) {
                    EXPECT_TRUE(before(a, c));
                }
            }
        }
    }

    const int expected[] = {8, 4, 9, 6, -1, 2, 7, 1, -5, 3};
    std::vector<TrafficCandidate> list = all;
    for (int round = 0; round < 5; ++round) {
        std::rotate(list.begin(), list.begin() + 3, list.end());
        std::sort(list.begin(), list.end(), before);
        ASSERT_EQ(list.size(), std::size(expected));
        for (std::size_t i = 0; i < list.size(); ++i)
            EXPECT_EQ(list[i].handle, expected[i]);
    }
}

} // namespace
