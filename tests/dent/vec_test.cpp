#include "dent/vec.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using dent::Vec;

TEST(Vec, OneNonFiniteComponentMakesTheVectorNonFinite) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(dent::isFinite(Vec{1, 2, 3}));
    for (float bad : {nan, inf, -inf}) {
        EXPECT_FALSE(dent::isFinite(Vec{bad, 2, 3}));
        EXPECT_FALSE(dent::isFinite(Vec{1, bad, 3}));
        EXPECT_FALSE(dent::isFinite(Vec{1, 2, bad}));
    }
}

TEST(Vec, NormalisingAVectorOfLengthAtMostTheThresholdGivesZero) {
    EXPECT_EQ(dent::normalized(Vec{0.00001f, 0, 0}), (Vec{0, 0, 0}));
    EXPECT_EQ(dent::normalized(Vec{0, 0, 0}), (Vec{0, 0, 0}));
    const Vec n = dent::normalized(Vec{0, 0.00002f, 0});
    EXPECT_FLOAT_EQ(n.y, 1.0f);
}

TEST(Vec, NormalisingMultipliesByTheReciprocalOfTheLength) {
    const Vec v{3, 4, 12};
    const float inv = 1.0f / 13.0f;
    EXPECT_EQ(dent::normalized(v), (Vec{3 * inv, 4 * inv, 12 * inv}));
}

TEST(Vec, PositiveFiniteAcceptsSubnormalsOnly) {
    EXPECT_TRUE(dent::isPositiveFinite(std::numeric_limits<float>::denorm_min()));
    EXPECT_FALSE(dent::isPositiveFinite(0.0f));
    EXPECT_FALSE(dent::isPositiveFinite(-1.0f));
    EXPECT_FALSE(dent::isPositiveFinite(std::numeric_limits<float>::infinity()));
}

} // namespace
