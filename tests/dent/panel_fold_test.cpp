#include "dent/fold_profile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace {

using dent::FoldProfile;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

bool isZero(const FoldProfile& p) {
    const FoldProfile zero{};
    return std::memcmp(&p, &zero, sizeof p) == 0;
}

bool bitEqual(const FoldProfile& a, const FoldProfile& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(FoldFor, WorkedExampleFormsA345Roof) {
    const FoldProfile p = dent::foldFor(1.0f, 0.5f, 0.2f);
    EXPECT_EQ(p.length, 1.0f);
    EXPECT_EQ(p.crease, 0.5f);
    EXPECT_EQ(p.compression, 0.2f);
    EXPECT_FLOAT_EQ(p.nearReach, 0.4f);
    EXPECT_FLOAT_EQ(p.farReach, 0.4f);
    EXPECT_FLOAT_EQ(p.lift, 0.3f);
}

TEST(FoldFor, UnusableInputGivesNoFold) {
    const struct {
        float length, crease, compression;
    } cases[] = {
        {0.04f, 0.5f, 0.1f}, // too short
        {kNaN, 0.5f, 0.1f},  {kInf, 0.5f, 0.1f},  {1.0f, kNaN, 0.1f},
        {1.0f, -kInf, 0.1f}, {1.0f, 0.5f, kNaN},  {1.0f, 0.5f, kInf},
        {-1.0f, 0.5f, 0.1f}, {3e38f, 0.5f, 0.1f}, // squares overflow
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(isZero(dent::foldFor(c.length, c.crease, c.compression)))
            << c.length << " " << c.crease << " " << c.compression;
        EXPECT_TRUE(isZero(dent::limitedFold(c.length, c.crease, c.compression, 0.5f)));
    }
}

TEST(FoldFor, ClampsCreaseAndCompression) {
    const struct {
        float crease, compression, wantCrease, wantCompression;
    } cases[] = {
        {0.9f, 0.2f, 0.65f, 0.2f}, {0.1f, 0.2f, 0.35f, 0.2f},    {0.5f, 0.8f, 0.5f, 0.45f},
        {0.5f, -0.3f, 0.5f, 0.0f}, {0.65f, 0.45f, 0.65f, 0.45f},
    };
    for (const auto& c : cases) {
        const FoldProfile p = dent::foldFor(2.0f, c.crease, c.compression * 2.0f);
        EXPECT_EQ(p.crease, c.wantCrease);
        EXPECT_FLOAT_EQ(p.compression, c.wantCompression * 2.0f);
        if (c.wantCompression == 0.0f) {
            EXPECT_EQ(p.lift, 0.0f); // flat
        }
    }
}

// Catches a wrong roof: both strips must keep their lengths and the folded
// span must be the length less the compression.
TEST(FoldFor, StripsKeepTheirLengths) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> length(0.05f, 3.5f), unit(0.0f, 1.0f);
    for (int n = 0; n < 2000; ++n) {
        const float l = length(rng);
        const FoldProfile p = dent::foldFor(l, unit(rng), unit(rng) * 0.6f * l);
        const float a = l * p.crease;
        const float b = l - a;
        EXPECT_NEAR(std::hypot(p.nearReach, p.lift), a, 2e-5f * l);
        EXPECT_NEAR(std::hypot(p.farReach, p.lift), b, 2e-5f * l);
        EXPECT_NEAR(p.nearReach + p.farReach, l - p.compression, 2e-6f * l);
        EXPECT_GE(p.lift, 0.0f);
    }
}

TEST(LimitedFold, KeepsAFoldWithinTheLimit) {
    EXPECT_TRUE(
        bitEqual(dent::limitedFold(1.0f, 0.5f, 0.2f, 0.5f), dent::foldFor(1.0f, 0.5f, 0.2f)));
    EXPECT_TRUE(
        bitEqual(dent::limitedFold(1.0f, 0.5f, 0.2f, 0.3f), dent::foldFor(1.0f, 0.5f, 0.2f)));
    EXPECT_TRUE(
        bitEqual(dent::limitedFold(1.0f, 0.5f, 0.2f, kInf), dent::foldFor(1.0f, 0.5f, 0.2f)));
}

TEST(LimitedFold, ReducesTheCompressionUntilTheLiftFits) {
    const FoldProfile p = dent::limitedFold(1.0f, 0.5f, 0.2f, 0.2f);
    EXPECT_LE(p.lift, 0.2f);
    EXPECT_NEAR(p.lift, 0.2f, 1e-5f);
    EXPECT_NEAR(p.compression, 0.0835f, 1e-4f);
}

TEST(LimitedFold, NegativeLimitAcceptsNoCompressionAndNaNLimitNoFold) {
    EXPECT_TRUE(
        bitEqual(dent::limitedFold(1.2f, 0.45f, 0.3f, -0.1f), dent::foldFor(1.2f, 0.45f, 0.0f)));
    EXPECT_TRUE(isZero(dent::limitedFold(0.01f, 0.45f, 0.3f, -0.1f)));
    EXPECT_TRUE(isZero(dent::limitedFold(1.2f, 0.45f, 0.3f, kNaN)));
}

// Catches a bisection that stops early or overshoots: the result must sit on
// the limit, where the exact roof of height maxLift needs the compression
// length - sqrt(a^2 - h^2) - sqrt(b^2 - h^2).
TEST(LimitedFold, LandsOnTheLargestCompressionWithinTheLimit) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> length(0.25f, 3.5f), crease(0.35f, 0.65f),
        lift(0.05f, 0.9f);
    for (int n = 0; n < 2000; ++n) {
        const float l = length(rng);
        const float k = crease(rng);
        const float h = lift(rng);
        const FoldProfile p = dent::limitedFold(l, k, 0.45f * l, h);
        EXPECT_LE(p.lift, h);
        EXPECT_LE(p.compression, 0.45f * l);
        const double a = double(l) * double(p.crease);
        const double b = double(l) - a;
        if (h >= b) continue; // the limit never binds
        const double full = dent::foldFor(l, k, 0.45f * l).lift;
        if (full <= h) {
            EXPECT_EQ(p.compression, 0.45f * l);
            continue;
        }
        const double exact =
            l - std::sqrt(a * a - double(h) * h) - std::sqrt(b * b - double(h) * h);
        EXPECT_NEAR(p.compression, exact, 5e-4 * l) << l << " " << k << " " << h;
    }
}

// Catches a roof put on the wrong side, a boot folded towards its end, or a
// point beyond the panel's ends moved: on the 3-4-5 roof (length 1, crease
// 0.5, compression 0.2: reaches 0.4 and 0.4, lift 0.3) a point u along the
// axis moves by (reach so far - u) along it and by the rise of its strip.
TEST(FoldPoint, MovesEachPointByTheRoofOfItsStrip) {
    const FoldProfile roof = dent::foldFor(1.0f, 0.5f, 0.2f);
    const struct {
        float u, along, rise;
    } cases[] = {
        {-0.3f, 0.0f, 0.0f},    // before the start: held there
        {0.0f, 0.0f, 0.0f},     // the start does not move
        {0.25f, -0.05f, 0.15f}, // halfway up the near strip
        {0.5f, -0.1f, 0.3f},    // the crease: full lift, moved by nearReach - split
        {0.75f, -0.15f, 0.15f}, // halfway down the far strip
        {1.0f, -0.2f, 0.0f},    // the end: moved by the whole compression
        {1.4f, -0.2f, 0.0f},    // beyond the end: as the end
    };
    for (const float sign : {1.0f, -1.0f}) {
        const dent::PanelShape shape{sign, 2.0f, 1.0f, 0.5f};
        for (const auto& c : cases) {
            const dent::Vec rest{0.3f, sign * (2.0f + c.u), 0.5f};
            const dent::Vec current{0.35f, rest.y + 0.01f, 0.45f}; // already dented
            const dent::Vec f = dent::foldPoint(rest, current, shape, roof);
            EXPECT_EQ(f.x, current.x);
            EXPECT_NEAR(f.y, current.y + sign * c.along, 1e-6f) << sign << " " << c.u;
            EXPECT_NEAR(f.z, current.z + c.rise, 1e-6f) << sign << " " << c.u;
        }
        // No compression: the point stays where its dents put it.
        const dent::Vec current{0.35f, sign * 2.5f, 0.45f};
        const dent::Vec flat = dent::foldPoint({0.3f, sign * 2.5f, 0.5f}, current, shape,
                                               dent::foldFor(1.0f, 0.5f, 0.0f));
        EXPECT_EQ(std::memcmp(&flat, &current, sizeof flat), 0);
    }
}

TEST(VariedCrease, WorkedExampleAndClamps) {
    EXPECT_NEAR(dent::variedCrease(0, 1, 0.5f, 0.12f), 0.61709f, 1e-5f);
    EXPECT_EQ(dent::variedCrease(0, 1, 0.5f, 0.0f), 0.5f);
    EXPECT_EQ(dent::variedCrease(123, 2, 0.9f, 0.1f), 0.65f);
    EXPECT_EQ(dent::variedCrease(123, 2, 0.1f, 0.1f), 0.35f);
    EXPECT_EQ(dent::variedCrease(123, 2, kNaN, 0.1f), 0.65f);
    EXPECT_EQ(dent::variedCrease(123, 2, 0.5f, kInf) >= 0.35f, true);
}

// Catches signed or 64-bit arithmetic in the hash (results would change with
// the platform) and a range outside base +- randomness.
TEST(VariedCrease, StaysNearTheBaseAndDiffersBetweenKinds) {
    std::mt19937 rng(3);
    int differing = 0;
    for (int n = 0; n < 1000; ++n) {
        const unsigned seed = unsigned(rng());
        const float bonnet = dent::variedCrease(seed, 1, 0.5f, 0.15f);
        const float boot = dent::variedCrease(seed, 2, 0.5f, 0.15f);
        EXPECT_GE(bonnet, 0.35f);
        EXPECT_LE(bonnet, 0.65f);
        EXPECT_EQ(bonnet, dent::variedCrease(seed, 1, 0.5f, 0.15f));
        if (bonnet != boot) ++differing;
    }
    EXPECT_GT(differing, 990);
    // Values pinned from the unsigned 32-bit hash.
    EXPECT_EQ(dent::variedCrease(0xFFFFFFFFu, 0xFFFFFFFFu, 0.5f, 0.0f), 0.5f);
}

} // namespace
