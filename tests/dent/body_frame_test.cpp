#include "dent/body_frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

using dent::BodyMatrix;
using dent::Vec;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

constexpr BodyMatrix kIdentity{{1, 0, 0}, 0, {0, 1, 0}, 0, {0, 0, 1}, 0, {0, 0, 0}, 1};

// A car facing world -x at (10, 20, 30): its right is world +y.
constexpr BodyMatrix kFacingWest{{0, 1, 0}, 0, {-1, 0, 0}, 0, {0, 0, 1}, 0, {10, 20, 30}, 1};

// A general rotation (yaw 30 degrees, then pitch 10 degrees) with an offset.
BodyMatrix tilted() {
    const float cy = std::cos(0.5235988f), sy = std::sin(0.5235988f);
    const float cp = std::cos(0.1745329f), sp = std::sin(0.1745329f);
    BodyMatrix m{};
    m.right = {cy, sy, 0.0f};
    m.forward = {-sy * cp, cy * cp, sp};
    m.up = {sy * sp, -cy * sp, cp};
    m.position = {-412.5f, 1033.25f, 14.0f};
    return m;
}

void expectNear(Vec got, Vec want, float tolerance) {
    EXPECT_NEAR(got.x, want.x, tolerance);
    EXPECT_NEAR(got.y, want.y, tolerance);
    EXPECT_NEAR(got.z, want.z, tolerance);
}

float* word(BodyMatrix& m, int index) {
    return reinterpret_cast<float*>(&m) + index;
}

TEST(IsSaneMatrix, AcceptsRotationsAndSmallDrift) {
    EXPECT_TRUE(dent::isSaneMatrix(kIdentity));
    EXPECT_TRUE(dent::isSaneMatrix(kFacingWest));
    EXPECT_TRUE(dent::isSaneMatrix(tilted()));
    // Squared length 1.018: within 0.02 of 1.
    BodyMatrix drift = kIdentity;
    drift.up = {0.0f, 0.0f, 1.009f};
    EXPECT_TRUE(dent::isSaneMatrix(drift));
}

TEST(IsSaneMatrix, RejectsScaledOrShearedAxes) {
    for (int axis = 0; axis < 3; ++axis) {
        SCOPED_TRACE(axis);
        for (float scale : {1.02f, 0.98f, 0.0f, -1.02f}) {
            SCOPED_TRACE(scale);
            BodyMatrix m = tilted();
            Vec* rows[] = {&m.right, &m.forward, &m.up};
            *rows[axis] = *rows[axis] * scale;
            EXPECT_FALSE(dent::isSaneMatrix(m));
        }
    }
    // Unit axes, but forward leans towards right: dot 0.0205.
    BodyMatrix sheared = kIdentity;
    sheared.forward = dent::normalized(Vec{0.0205f, 1.0f, 0.0f});
    EXPECT_FALSE(dent::isSaneMatrix(sheared));
    BodyMatrix slightly = kIdentity;
    slightly.forward = dent::normalized(Vec{0.0f, 1.0f, 0.019f});
    EXPECT_TRUE(dent::isSaneMatrix(slightly));
}

TEST(IsSaneMatrix, AnyNonFiniteReadWordFailsAndPadWordsAreIgnored) {
    const int readWords[] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14};
    for (int index : readWords) {
        for (float bad : {kNaN, kInf, -kInf}) {
            SCOPED_TRACE(testing::Message() << "word " << index << " = " << bad);
            BodyMatrix m = tilted();
            *word(m, index) = bad;
            EXPECT_FALSE(dent::isSaneMatrix(m));
        }
    }
    BodyMatrix padded = tilted();
    for (int index : {3, 7, 11, 15})
        *word(padded, index) = kNaN;
    EXPECT_TRUE(dent::isSaneMatrix(padded));
    expectNear(dent::toWorldPoint(padded, {1, 2, 3}), dent::toWorldPoint(tilted(), {1, 2, 3}), 0);
}

TEST(BodyFrame, HandWorkedCarFacingWest) {
    // One unit ahead of the car, two to its right, one up.
    const Vec world{9.0f, 22.0f, 31.0f};
    const Vec body{2.0f, 1.0f, 1.0f};
    EXPECT_EQ(dent::toBodyFrame(kFacingWest, world), body);
    EXPECT_EQ(dent::toWorldPoint(kFacingWest, body), world);
    // Directions ignore the position.
    EXPECT_EQ(dent::toBodyDirection(kFacingWest, Vec{-1.0f, 0.0f, 0.0f}), (Vec{0.0f, 1.0f, 0.0f}));
    EXPECT_EQ(dent::toWorldDirection(kFacingWest, Vec{1.0f, 0.0f, 0.0f}), (Vec{0.0f, 1.0f, 0.0f}));
}

TEST(BodyFrame, WorldAndBodyTransformsInvertEachOther) {
    const BodyMatrix m = tilted();
    const Vec points[] = {{0, 0, 0}, {1.2f, -2.5f, 0.4f}, {-0.9f, 2.1f, -0.3f}, {12, 0, 0}};
    for (const Vec& p : points) {
        SCOPED_TRACE(testing::Message() << p.x << "," << p.y << "," << p.z);
        expectNear(dent::toBodyFrame(m, dent::toWorldPoint(m, p)), p, 2e-4f);
        expectNear(dent::toBodyDirection(m, dent::toWorldDirection(m, p)), p, 2e-6f);
        // A direction turned into world space keeps its length (not renormalised).
        EXPECT_NEAR(dent::length(dent::toWorldDirection(m, p)), dent::length(p), 2e-6f);
    }
    // The origin of the body is the matrix position.
    EXPECT_EQ(dent::toWorldPoint(m, {0, 0, 0}), m.position);
    EXPECT_EQ(dent::toBodyFrame(m, m.position), (Vec{0, 0, 0}));
}

} // namespace
