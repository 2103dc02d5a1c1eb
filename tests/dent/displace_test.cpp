#include "dent/displace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using dent::Vec;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const Vec kIn{0, 0, -1}; // pushes along -z

bool bitEqual(Vec a, Vec b) {
    return std::memcmp(&a, &b, sizeof(Vec)) == 0;
}

// Straightforward transcription of the dent rule, kept apart from the
// optimised array path so that the two can be compared bit for bit.
Vec referenceDisplace(Vec rest, Vec current, Vec contact, Vec direction, float depth, float radius,
                      float previousDepth, float previousRadius, float maxTotal, float power) {
    return dent::displaceImpact(rest, current, contact, direction, depth, radius, previousDepth,
                                previousRadius, maxTotal, power);
}

TEST(Falloff, IsABowlFromCentreToRim) {
    EXPECT_EQ(dent::falloff(0.0f, 2.0f, 1.0f), 1.0f);
    EXPECT_EQ(dent::falloff(1.0f, 2.0f, 1.0f), 0.5f); // s = 0.5, t = 0.5
    EXPECT_EQ(dent::falloff(2.0f, 2.0f, 1.0f), 0.0f);
    EXPECT_EQ(dent::falloff(3.0f, 2.0f, 1.0f), 0.0f);
    EXPECT_EQ(dent::falloff(kNaN, 2.0f, 1.0f), 0.0f);
    EXPECT_EQ(dent::falloff(0.0f, 0.0f, 1.0f), 0.0f);
    // A power below 1 widens the shoulder, above 1 narrows it.
    EXPECT_GT(dent::falloff(1.0f, 2.0f, 0.5f), 0.5f);
    EXPECT_LT(dent::falloff(1.0f, 2.0f, 2.0f), 0.5f);
}

TEST(DisplaceImpact, CentrePointMovesByTheDepthAlongTheNormalisedDirection) {
    const Vec r = dent::displaceImpact({1, 2, 3}, {1, 2, 3}, {1, 2, 3}, {0, 0, -5}, 0.3f, 1.0f, 0,
                                       0, 1.05f, 0.65f);
    EXPECT_EQ(r.x, 1.0f);
    EXPECT_EQ(r.y, 2.0f);
    EXPECT_FLOAT_EQ(r.z, 3.0f - 0.3f);
}

TEST(DisplaceImpact, PointsAtOrBeyondTheRadiusStayPut) {
    const Vec atRim{2, 0, 0};
    const Vec beyond{5, 0, 0};
    EXPECT_TRUE(bitEqual(
        dent::displaceImpact(atRim, atRim, {0, 0, 0}, kIn, 0.5f, 2.0f, 0, 0, 1.05f, 0.65f), atRim));
    EXPECT_TRUE(bitEqual(
        dent::displaceImpact(beyond, beyond, {0, 0, 0}, kIn, 0.5f, 2.0f, 0, 0, 1.05f, 0.65f),
        beyond));
}

TEST(DisplaceImpact, HalfRadiusWithPowerOneGetsHalfTheDepth) {
    const Vec p{1, 0, 0};
    const Vec r = dent::displaceImpact(p, p, {0, 0, 0}, kIn, 0.4f, 2.0f, 0, 0, 1.05f, 1.0f);
    EXPECT_FLOAT_EQ(r.z, -0.2f);
}

TEST(DisplaceImpact, ReapplyingTheSameOrAWeakerDentMovesNothing) {
    const Vec rest{0.3f, 0.2f, 0};
    const Vec current{0.3f, 0.2f, -0.1f};
    EXPECT_TRUE(bitEqual(
        dent::displaceImpact(rest, current, {0, 0, 0}, kIn, 0.5f, 1.5f, 0.5f, 1.5f, 1.05f, 0.65f),
        current));
    EXPECT_TRUE(bitEqual(
        dent::displaceImpact(rest, current, {0, 0, 0}, kIn, 0.3f, 1.5f, 0.5f, 1.5f, 1.05f, 0.65f),
        current));
}

TEST(DisplaceImpact, InvalidInputReturnsCurrentBitForBit) {
    const Vec rest{0.1f, 0, 0};
    const Vec current{0.1f, 0, -0.05f};
    const Vec c{0, 0, 0};
    const struct {
        const char* what;
        Vec rest, current, contact, direction;
        float depth, radius, pd, pr, maxTotal, power;
    } cases[] = {
        {"zero depth", rest, current, c, kIn, 0, 1, 0, 0, 1, 1},
        {"negative depth", rest, current, c, kIn, -1, 1, 0, 0, 1, 1},
        {"zero radius", rest, current, c, kIn, 1, 0, 0, 0, 1, 1},
        {"zero maxTotal", rest, current, c, kIn, 1, 1, 0, 0, 0, 1},
        {"zero power", rest, current, c, kIn, 1, 1, 0, 0, 1, 0},
        {"NaN rest", {kNaN, 0, 0}, current, c, kIn, 1, 1, 0, 0, 1, 1},
        {"NaN contact", rest, current, {0, kNaN, 0}, kIn, 1, 1, 0, 0, 1, 1},
        {"inf direction", rest, current, c, {0, 0, kInf}, 1, 1, 0, 0, 1, 1},
        {"NaN previous depth", rest, current, c, kIn, 1, 1, kNaN, 0, 1, 1},
        {"inf previous radius", rest, current, c, kIn, 1, 1, 0, kInf, 1, 1},
        {"tiny direction", rest, current, c, {0, 0, 0.00001f}, 1, 1, 0, 0, 1, 1},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_TRUE(
            bitEqual(dent::displaceImpact(k.rest, k.current, k.contact, k.direction, k.depth,
                                          k.radius, k.pd, k.pr, k.maxTotal, k.power),
                     k.current));
    }
    // A NaN current comes back as it went in.
    const Vec nanCurrent{kNaN, 0, 0};
    EXPECT_TRUE(
        bitEqual(dent::displaceImpact(rest, nanCurrent, c, kIn, 1, 1, 0, 0, 1, 1), nanCurrent));
}

TEST(DisplaceImpact, NonPositivePreviousRadiusIgnoresThePreviousBowl) {
    const Vec p{0.5f, 0, 0};
    const Vec whole = dent::displaceImpact(p, p, {0, 0, 0}, kIn, 0.4f, 2.0f, 0, 0, 1.05f, 0.65f);
    for (float pr : {0.0f, -1.0f}) {
        EXPECT_TRUE(bitEqual(
            dent::displaceImpact(p, p, {0, 0, 0}, kIn, 0.4f, 2.0f, 0.4f, pr, 1.05f, 0.65f), whole));
    }
}

TEST(DisplaceImpact, TotalDisplacementIsBoundedByMaxTotal) {
    const Vec rest{0, 0, 0};
    const Vec atBound{0, 0, -0.5f};
    const Vec pushed =
        dent::displaceImpact(rest, atBound, {0, 0, 0}, kIn, 1.0f, 2.0f, 0, 0, 0.5f, 0.65f);
    EXPECT_FLOAT_EQ(dent::length(pushed - rest), 0.5f);

    // Outside the dent but already too far: pulled back onto the sphere.
    const Vec farRest{10, 0, 0};
    const Vec farCurrent{10, 0, -2};
    const Vec pulled =
        dent::displaceImpact(farRest, farCurrent, {0, 0, 0}, kIn, 1.0f, 2.0f, 0, 0, 0.5f, 0.65f);
    EXPECT_FLOAT_EQ(pulled.z, -0.5f);
    EXPECT_EQ(pulled.x, 10.0f);
}

struct RandomMesh {
    std::vector<Vec> rest;
    std::vector<Vec> current;
};

RandomMesh randomMesh(std::mt19937& rng, std::size_t count, float extent) {
    std::uniform_real_distribution<float> u(-extent, extent);
    RandomMesh m;
    for (std::size_t i = 0; i < count; ++i)
        m.rest.push_back({u(rng), u(rng), u(rng)});
    m.current = m.rest;
    return m;
}

// Catches any drift between the optimised array loop and the per-point rule.
TEST(DentVertices, MatchesThePerPointRuleBitForBit) {
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> u(-2, 2);
    std::uniform_real_distribution<float> pos(0.05f, 1.5f);
    for (int round = 0; round < 20; ++round) {
        RandomMesh m = randomMesh(rng, 2000, 2.5f);
        std::vector<Vec> expected = m.current;
        for (int hit = 0; hit < 5; ++hit) {
            const Vec contact{u(rng), u(rng), u(rng)};
            const Vec direction{u(rng), u(rng), u(rng)};
            const float depth = pos(rng), radius = pos(rng) * 2, maxTotal = pos(rng);
            const float pd = hit % 2 ? depth * 0.5f : 0.0f, pr = hit % 2 ? radius * 0.7f : 0.0f;
            const float power = 0.35f + pos(rng);
            for (std::size_t i = 0; i < expected.size(); ++i)
                expected[i] = referenceDisplace(m.rest[i], expected[i], contact, direction, depth,
                                                radius, pd, pr, maxTotal, power);
            dent::dentVertices(m.rest.data(), m.current.data(), m.current.size(), contact,
                               direction, depth, radius, pd, pr, maxTotal, power);
        }
        ASSERT_EQ(0, std::memcmp(expected.data(), m.current.data(), sizeof(Vec) * expected.size()));
    }
}

// Catches a bound applied to the step instead of the total offset.
TEST(DentVertices, NoPointEverEndsFartherThanMaxTotalFromRest) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> u(-2, 2);
    std::uniform_real_distribution<float> pos(0.05f, 1.2f);
    const float maxTotal = 0.6f;
    RandomMesh m = randomMesh(rng, 3000, 2.0f);
    for (int hit = 0; hit < 60; ++hit) {
        dent::dentVertices(m.rest.data(), m.current.data(), m.current.size(),
                           {u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)}, pos(rng),
                           pos(rng) * 2, 0, 0, maxTotal, 0.65f);
        for (std::size_t i = 0; i < m.rest.size(); ++i)
            ASSERT_LE(dent::length(m.current[i] - m.rest[i]), maxTotal * (1 + 1e-5f));
    }
}

// Catches growth steps that add whole bowls instead of their difference.
TEST(DentVertices, GrowthWithinAnEpisodeSumsToTheFinalBowl) {
    std::mt19937 rng(7);
    RandomMesh grown = randomMesh(rng, 2000, 2.0f);
    RandomMesh once = grown;
    const Vec contact{0.2f, -0.1f, 0.3f};
    const Vec direction{0.3f, 1.0f, -0.2f};
    const float steps[][2] = {{0.1f, 1.1f}, {0.2f, 1.3f}, {0.2f, 1.6f}, {0.45f, 2.0f}};
    float pd = 0, pr = 0;
    for (const auto& s : steps) {
        dent::dentVertices(grown.rest.data(), grown.current.data(), grown.current.size(), contact,
                           direction, s[0], s[1], pd, pr, 5.0f, 0.65f);
        pd = s[0];
        pr = s[1];
    }
    dent::dentVertices(once.rest.data(), once.current.data(), once.current.size(), contact,
                       direction, pd, pr, 0, 0, 5.0f, 0.65f);
    for (std::size_t i = 0; i < once.current.size(); ++i) {
        EXPECT_NEAR(grown.current[i].x, once.current[i].x, 1e-5f);
        EXPECT_NEAR(grown.current[i].y, once.current[i].y, 1e-5f);
        EXPECT_NEAR(grown.current[i].z, once.current[i].z, 1e-5f);
    }
}

TEST(DentVertices, InvalidDentOrNullArraysChangeNothing) {
    std::mt19937 rng(3);
    RandomMesh m = randomMesh(rng, 100, 1.0f);
    const std::vector<Vec> before = m.current;
    dent::dentVertices(m.rest.data(), m.current.data(), m.current.size(), {0, 0, 0}, kIn, kNaN, 1,
                       0, 0, 1, 1);
    dent::dentVertices(m.rest.data(), m.current.data(), m.current.size(), {0, 0, 0}, {0, 0, 0}, 1,
                       1, 0, 0, 1, 1);
    dent::dentVertices(nullptr, m.current.data(), m.current.size(), {0, 0, 0}, kIn, 1, 1, 0, 0, 1,
                       1);
    EXPECT_EQ(0, std::memcmp(before.data(), m.current.data(), sizeof(Vec) * before.size()));
}

} // namespace
