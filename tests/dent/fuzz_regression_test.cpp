// Inputs the fuzzers found, kept as ordinary tests once the fault was fixed.

#include "dent/displace.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

namespace {

using dent::Vec;

double distance(Vec a, Vec b) {
    const double dx = double(a.x) - b.x, dy = double(a.y) - b.y, dz = double(a.z) - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Positions at the float limit: current - rest overflowed to infinity and
// the clamp turned it into NaN.
TEST(FuzzRegression, DisplacementOffsetThatOverflowsStaysFiniteAndBounded) {
    struct Case {
        const char* what;
        Vec rest;
        Vec current;
    } cases[] = {
        {"opposite float limits", {0.0f, 0.0f, FLT_MAX}, {8.448f, 0.032f, -FLT_MAX}},
        {"pushed past the limit", {-FLT_MAX, 0.0f, 0.0f}, {FLT_MAX, 0.0f, 0.0f}},
    };
    const Vec contact{-31.355f, -32.001f, 10.874f};
    const Vec direction{31.354f, -31.355f, -0.123f};
    for (const Case& c : cases) {
        const Vec r = dent::displaceImpact(c.rest, c.current, contact, direction, 31.362f, 31.274f,
                                           31.366f, 31.355f, 31.355f, 12.344f);
        EXPECT_TRUE(dent::isFinite(r)) << c.what;
        EXPECT_LE(distance(r, c.rest), 31.355 * (1.0 + 1e-6) + double(FLT_MAX) * 1e-6) << c.what;
        Vec batch = c.current;
        dent::dentVertices(&c.rest, &batch, 1, contact, direction, 31.362f, 31.274f, 31.366f,
                           31.355f, 31.355f, 12.344f);
        EXPECT_EQ(batch, r) << c.what;
    }
}

// Depths at the float limit, with an opposite previous depth: the step
// overflowed to infinity, and infinity times the zero x component of the
// direction (too small beside its z) made the point NaN.
TEST(FuzzRegression, DisplacementStepThatOverflowsStaysFiniteAndBounded) {
    const Vec rest{0.135f, 4.136f, 0.016f};
    const Vec current{0.0f, 0.0f, 0.0f};
    const Vec contact{0.0f, 1.4e-45f, 0.0f};
    const Vec direction{1e-6f, 0.035f, FLT_MAX};
    const float maxTotal = 25.186f;
    const Vec r = dent::displaceImpact(rest, current, contact, direction, FLT_MAX, FLT_MAX,
                                       -FLT_MAX, 25.186f, maxTotal, 25.186f);
    EXPECT_TRUE(dent::isFinite(r));
    EXPECT_LE(distance(r, rest), maxTotal * (1.0 + 1e-6));
    Vec batch = current;
    dent::dentVertices(&rest, &batch, 1, contact, direction, FLT_MAX, FLT_MAX, -FLT_MAX, 25.186f,
                       maxTotal, 25.186f);
    EXPECT_EQ(batch, r);
}

// A point at the float limit pushed further out by a dent as large as the
// limit: the offset stays within maxTotal, but the point left the float range.
TEST(FuzzRegression, DisplacedPointBeyondTheFloatRangeIsHeldAtTheLimit) {
    const Vec rest{0.0f, -FLT_MAX, 0.046f};
    const Vec direction{0.047f, -6.41f, -0.042f};
    const Vec r = dent::displaceImpact(rest, rest, rest, direction, FLT_MAX, FLT_MAX, 0.0f, 0.0f,
                                       FLT_MAX, 1e-30f);
    EXPECT_TRUE(dent::isFinite(r));
    EXPECT_EQ(r.y, -FLT_MAX);
    Vec batch = rest;
    dent::dentVertices(&rest, &batch, 1, rest, direction, FLT_MAX, FLT_MAX, 0.0f, 0.0f, FLT_MAX,
                       1e-30f);
    EXPECT_EQ(batch, r);
}

// An offset too long to square in float (beyond about 1.8e19) made the
// length infinite and the scale 0: the point fell back to its rest position
// instead of sliding onto the sphere of radius maxTotal.
TEST(FuzzRegression, OffsetTooLongToSquareIsScaledNotDropped) {
    const Vec rest{0.0f, 0.0f, 0.0f};
    const Vec current{0.0f, 1e20f, 0.0f};
    const float maxTotal = 3e19f;
    const Vec far{100.0f, 0.0f, 0.0f}; // the dent misses the point
    const Vec r = dent::displaceImpact(rest, current, far, {0, 0, -1}, 1.0f, 1.0f, 0.0f, 0.0f,
                                       maxTotal, 1.0f);
    EXPECT_FLOAT_EQ(r.y, maxTotal);
    EXPECT_EQ(r.x, 0.0f);
    Vec batch = current;
    dent::dentVertices(&rest, &batch, 1, far, {0, 0, -1}, 1.0f, 1.0f, 0.0f, 0.0f, maxTotal, 1.0f);
    EXPECT_EQ(batch, r);
}

} // namespace
