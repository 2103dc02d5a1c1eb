#include "dent/impact.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using dent::ImpactConfig;
using dent::Response;

constexpr ImpactConfig kDefaults{0.04f, 0.65f, 1.0f, 1.15f, 0.65f, 1.1f, 2.25f};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

bool isZero(const Response& r) {
    return r.impact == 0 && r.depth == 0 && r.radius == 0;
}

TEST(Response, WorkedExampleToTheGivenDigits) {
    const Response r = dent::response(300.0f, 1500.0f, kDefaults);
    EXPECT_NEAR(r.impact, 0.2f, 1e-7f);
    EXPECT_NEAR(r.depth, 0.13948f, 5e-6f);
    EXPECT_NEAR(r.radius, 1.63272f, 5e-6f);

    const Response full = dent::response(1500.0f, 1500.0f, kDefaults);
    EXPECT_EQ(full.impact, 1.0f);
    EXPECT_EQ(full.depth, 0.65f);
    EXPECT_EQ(full.radius, 2.25f);
}

TEST(Response, InvalidImpulseOrMassGivesTheZeroResponse) {
    const struct {
        float impulse, mass;
    } cases[] = {{0, 1500},   {-5, 1500},   {kInf, 1500}, {kNaN, 1500}, {300, 1.0f},
                 {300, 0.5f}, {300, -1500}, {300, kNaN},  {300, kInf},  {kInf, kInf}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.impulse << " / " << c.mass);
        EXPECT_TRUE(isZero(dent::response(c.impulse, c.mass, kDefaults)));
    }
}

TEST(Response, ImpactAtMinImpactIsRejectedAndJustAboveDents) {
    EXPECT_TRUE(isZero(dent::response(60.0f, 1500.0f, kDefaults)));
    // The smallest impulse whose impact lies above minImpact.
    float impulse = 60.0f;
    while (impulse / 1500.0f <= kDefaults.minImpact)
        impulse = std::nextafter(impulse, 1e9f);
    const Response r = dent::response(impulse, 1500.0f, kDefaults);
    EXPECT_GT(r.depth, 0.0f);
    EXPECT_GT(r.radius, kDefaults.minRadius);
    EXPECT_LT(r.radius, kDefaults.minRadius + 0.01f);
}

TEST(Response, EmptyOrInvertedImpactRangeDentsNothing) {
    ImpactConfig empty = kDefaults;
    empty.referenceImpact = empty.minImpact;
    ImpactConfig inverted = kDefaults;
    inverted.referenceImpact = 0.01f;
    for (float impulse : {70.0f, 300.0f, 1500.0f, 1e6f}) {
        EXPECT_TRUE(isZero(dent::response(impulse, 1500.0f, empty)));
        EXPECT_TRUE(isZero(dent::response(impulse, 1500.0f, inverted)));
    }
}

TEST(Response, FarAboveReferenceSaturatesAndKeepsTheRawImpact) {
    for (float strength : {1.0f, 2.5f}) {
        ImpactConfig c = kDefaults;
        c.strength = strength;
        const Response r = dent::response(1.5e5f, 1500.0f, c);
        EXPECT_EQ(r.impact, 100.0f);
        EXPECT_EQ(r.depth, c.maxDentPerHit);
        EXPECT_EQ(r.radius, c.maxRadius);
    }
}

TEST(Response, ZeroStrengthGivesNoDepthAndTheMinimumRadius) {
    ImpactConfig c = kDefaults;
    c.strength = 0.0f;
    const Response r = dent::response(300.0f, 1500.0f, c);
    EXPECT_EQ(r.depth, 0.0f);
    EXPECT_EQ(r.radius, c.minRadius);
}

TEST(Response, StrengthAboveOneSaturatesBeforeTheReference) {
    ImpactConfig c = kDefaults;
    c.strength = 3.0f;
    const Response r = dent::response(600.0f, 1500.0f, c); // impact 0.4, t ~ 0.59
    EXPECT_EQ(r.depth, c.maxDentPerHit);
}

TEST(Response, DepthAndRadiusGrowWithImpact) {
    float previousDepth = 0.0f;
    float previousRadius = 0.0f;
    for (float impulse = 61.0f; impulse < 1200.0f; impulse *= 1.07f) {
        const Response r = dent::response(impulse, 1500.0f, kDefaults);
        EXPECT_GE(r.depth, previousDepth);
        EXPECT_GE(r.radius, previousRadius);
        EXPECT_LE(r.depth, kDefaults.maxDentPerHit);
        EXPECT_LE(r.radius, kDefaults.maxRadius);
        previousDepth = r.depth;
        previousRadius = r.radius;
    }
}

} // namespace
