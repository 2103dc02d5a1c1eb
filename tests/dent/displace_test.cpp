#include "dent/displace.h"
#include "dent/unit_power.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
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

// The fast power must round exactly as the library's double power does, or
// the dents change. Catches series, range reduction and certainty faults.
TEST(Falloff, PowersRoundAsTheDoublePrecisionPowerDoes) {
    const auto expected = [](float t, float p) {
        return static_cast<float>(std::pow(double(t), double(p)));
    };
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f), exponent(0.05f, 4.0f);
    std::uniform_int_distribution<int> scale(0, 149);
    // Out of range first: those are the library's answer.
    std::vector<float> ts{
        0.0f,    -0.5f,    1.5f,        kNaN,    1.0f, 0.5f, 1.0f - FLT_EPSILON / 2,
        FLT_MIN, 1.4e-45f, 0.70710677f, 0.9999f, 0.25f};
    std::vector<float> ps{0.0f, -2.0f, kInf, 1.0f, 0.65f, 1e-30f, 12.344f, 1e6f, FLT_MAX};
    for (int k = 0; k < 3000; ++k)
        ts.push_back(std::ldexp(unit(rng), -scale(rng) / (k % 3 + 1)));
    for (int k = 0; k < 12; ++k)
        ps.push_back(exponent(rng));
    std::size_t mismatches = 0;
    for (float p : ps) {
        for (std::size_t k = 0; k + 4 <= ts.size(); k += 4) {
            float four[4];
            _mm_storeu_ps(four, dent::unit_power::power4(_mm_loadu_ps(&ts[k]), p));
            for (int j = 0; j < 4; ++j) {
                const float want = expected(ts[k + j], p);
                mismatches += std::memcmp(&four[j], &want, sizeof want) != 0;
                const float one = dent::unit_power::power(ts[k + j], p);
                mismatches += std::memcmp(&one, &want, sizeof want) != 0;
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

// Catches a greatest share that differs from the one falloff() gives any
// point: one power of the greatest base is the same bits as the greatest of
// all the powers, including a point at the centre, points beyond the rim and
// non-finite points.
TEST(GreatestFalloff, IsTheGreatestFalloffOfThePoints) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> c(-2.0f, 2.0f), r(0.05f, 2.5f), p(0.35f, 2.0f);
    for (int n = 0; n < 2000; ++n) {
        const Vec centre{c(rng), c(rng), c(rng)};
        const float radius = r(rng), power = p(rng);
        std::vector<Vec> points(1 + rng() % 40);
        for (Vec& q : points)
            q = Vec{c(rng), c(rng), c(rng)};
        if (n % 7 == 0) points[0] = centre;
        if (n % 11 == 0) points.back() = Vec{kNaN, 0, 0};
        float want = 0.0f;
        for (const Vec& q : points)
            want = std::max(want, dent::falloff(dent::length(q - centre), radius, power));
        const float got =
            dent::greatestFalloff(points.data(), points.size(), centre, radius, power);
        ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << n;
    }
    const Vec one{0, 0, 0};
    EXPECT_EQ(dent::greatestFalloff(&one, 1, one, 0.0f, 1.0f), 0.0f);
    EXPECT_EQ(dent::greatestFalloff(&one, 1, one, kNaN, 1.0f), 0.0f);
    EXPECT_EQ(dent::greatestFalloff(nullptr, 0, one, 1.0f, 1.0f), 0.0f);
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

// Catches a fault in the four-point path's packing, its tail, its hand-over
// of non-finite and overflowing points to the single-point path, and arrays
// that alias: rest and current as one array, or overlapping at a shift.
TEST(DentVertices, MatchesThePerPointRuleWhateverTheArrays) {
    std::mt19937 rng(11);
    RandomMesh m = randomMesh(rng, 1003, 1.5f);
    for (std::size_t i = 0; i < m.rest.size(); i += 37)
        m.current[i].y = (i % 2 ? kNaN : kInf);
    for (std::size_t i = 5; i < m.rest.size(); i += 41)
        m.current[i] = {0.0f, 0.0f, i % 2 ? FLT_MAX : -FLT_MAX};
    const Vec contact{0.1f, 0.2f, 0.3f}, direction{0.2f, -0.4f, 1.0f};
    const auto dentEachPoint = [&](const Vec* rest, Vec* current, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            current[i] = dent::displaceImpact(rest[i], current[i], contact, direction, 0.6f, 1.4f,
                                              0.2f, 0.9f, 0.8f, 0.65f);
    };
    const auto dentArray = [&](const Vec* rest, Vec* current, std::size_t count) {
        dent::dentVertices(rest, current, count, contact, direction, 0.6f, 1.4f, 0.2f, 0.9f, 0.8f,
                           0.65f);
    };
    const auto sameBits = [](const std::vector<Vec>& a, const std::vector<Vec>& b) {
        return std::memcmp(a.data(), b.data(), sizeof(Vec) * a.size()) == 0;
    };
    std::vector<Vec> want = m.current, got = m.current;
    dentEachPoint(m.rest.data(), want.data(), want.size());
    dentArray(m.rest.data(), got.data(), got.size());
    EXPECT_TRUE(sameBits(want, got)) << "separate arrays";

    std::vector<Vec> wantOne = m.current, gotOne = m.current;
    dentEachPoint(wantOne.data(), wantOne.data(), wantOne.size());
    dentArray(gotOne.data(), gotOne.data(), gotOne.size());
    EXPECT_TRUE(sameBits(wantOne, gotOne)) << "one array";

    for (std::ptrdiff_t shift : {1, -1}) {
        std::vector<Vec> wantShift = m.current, gotShift = m.current;
        const std::size_t n = wantShift.size() - 1;
        const std::size_t r = shift > 0 ? 0 : 1, c = shift > 0 ? 1 : 0;
        dentEachPoint(wantShift.data() + r, wantShift.data() + c, n);
        dentArray(gotShift.data() + r, gotShift.data() + c, n);
        EXPECT_TRUE(sameBits(wantShift, gotShift)) << "shifted by " << shift;
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
