#include "dent/episode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

using dent::Episode;
using dent::Response;
using dent::Vec;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::uint32_t kGap = 180;

constexpr Vec kPoint{0.0f, 1.0f, 0.5f};
constexpr Vec kNormal{0.0f, -1.0f, 0.0f};
constexpr Response kFirst{0.2f, 0.20f, 1.50f};

// A unit normal `degrees` away from kNormal, turned about the z axis.
Vec turned(float degrees) {
    const float r = degrees * 3.14159265f / 180.0f;
    return {std::sin(r), -std::cos(r), 0.0f};
}

bool sameBits(const Episode& a, const Episode& b) {
    return a.point == b.point && a.normal == b.normal && a.depth == b.depth &&
           a.radius == b.radius && a.serial == b.serial && a.lastMs == b.lastMs && a.open == b.open;
}

Episode begun(std::uint32_t at = 1000) {
    Episode e{};
    EXPECT_TRUE(e.observe(kPoint, kNormal, kFirst, at, kGap));
    return e;
}

TEST(Episode, FirstContactOpensEpisodeOne) {
    Episode e{};
    EXPECT_TRUE(e.observe(kPoint, Vec{0.0f, -4.0f, 0.0f}, kFirst, 1000, kGap));
    EXPECT_TRUE(e.open);
    EXPECT_EQ(e.serial, 1u);
    EXPECT_EQ(e.lastMs, 1000u);
    EXPECT_EQ(e.point, kPoint);
    EXPECT_EQ(e.normal, kNormal); // stored normalised
    EXPECT_EQ(e.depth, kFirst.depth);
    EXPECT_EQ(e.radius, kFirst.radius);
}

TEST(Episode, SecondContactContinuesOrBeginsANewEpisode) {
    struct Case {
        const char* what;
        Vec point;
        Vec normal;
        Response response;
        std::uint32_t now;
        bool continues;
        bool grew;
    } cases[] = {
        {"same size, 100 ms, 0.5 away", {0.5f, 1.0f, 0.5f}, kNormal, kFirst, 1100, true, false},
        {"deeper", {0.5f, 1.0f, 0.5f}, kNormal, {0.3f, 0.21f, 1.50f}, 1100, true, true},
        {"wider", {0.5f, 1.0f, 0.5f}, kNormal, {0.3f, 0.20f, 1.51f}, 1100, true, true},
        {"deeper by less than the epsilon",
         kPoint,
         kNormal,
         {0.3f, 0.200005f, 1.5f},
         1100,
         true,
         false},
        {"weaker", kPoint, kNormal, {0.1f, 0.1f, 1.2f}, 1100, true, false},
        {"exactly at the gap", kPoint, kNormal, kFirst, 1180, true, false},
        {"exactly 0.85 away", {0.85f, 1.0f, 0.5f}, kNormal, kFirst, 1100, true, false},
        {"normals 45 degrees apart", kPoint, turned(45.0f), kFirst, 1100, true, false},
        {"200 ms later", kPoint, kNormal, {0.1f, 0.1f, 1.2f}, 1200, false, true},
        {"one past the gap", kPoint, kNormal, kFirst, 1181, false, true},
        {"0.9 away", {0.9f, 1.0f, 0.5f}, kNormal, kFirst, 1100, false, true},
        {"normals 60 degrees apart", kPoint, turned(60.0f), kFirst, 1100, false, true},
        {"opposite normal", kPoint, Vec{0.0f, 1.0f, 0.0f}, kFirst, 1100, false, true},
        {"clock stepped back", kPoint, kNormal, kFirst, 999, false, true},
        {"tiny new dent",
         {3.0f, 0.0f, 0.0f},
         kNormal,
         {0.01f, 0.000005f, 0.000005f},
         1100,
         false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Episode e = begun(1000);
        EXPECT_EQ(e.observe(c.point, c.normal, c.response, c.now, kGap), c.grew);
        EXPECT_EQ(e.lastMs, c.now);
        EXPECT_TRUE(e.open);
        if (c.continues) {
            EXPECT_EQ(e.serial, 1u);
            EXPECT_EQ(e.point, kPoint);
            EXPECT_EQ(e.normal, kNormal);
            EXPECT_EQ(e.depth, std::fmax(kFirst.depth, c.response.depth));
            EXPECT_EQ(e.radius, std::fmax(kFirst.radius, c.response.radius));
        } else {
            EXPECT_EQ(e.serial, 2u);
            EXPECT_EQ(e.point, c.point);
            EXPECT_NEAR(dent::length(e.normal), 1.0f, 1e-6f);
            EXPECT_EQ(e.depth, c.response.depth);
            EXPECT_EQ(e.radius, c.response.radius);
        }
    }
}

TEST(Episode, ClockWrapContinuesWithinTheGap) {
    Episode e = begun(UINT32_MAX - 63);
    EXPECT_FALSE(e.observe(kPoint, kNormal, kFirst, 64, kGap)); // 128 ms later
    EXPECT_EQ(e.serial, 1u);
    EXPECT_EQ(e.lastMs, 64u);
}

TEST(Episode, ClosedEpisodeNeverContinues) {
    Episode e = begun(1000);
    e.open = false;
    EXPECT_TRUE(e.observe(kPoint, kNormal, kFirst, 1000, kGap));
    EXPECT_EQ(e.serial, 2u);
    EXPECT_TRUE(e.open);
}

TEST(Episode, SerialSkipsZeroWhenItWraps) {
    Episode e = begun(1000);
    e.serial = UINT32_MAX;
    EXPECT_TRUE(e.observe(kPoint, kNormal, kFirst, 5000, kGap));
    EXPECT_EQ(e.serial, 1u);
}

TEST(Episode, InvalidInputChangesNothing) {
    const struct {
        const char* what;
        Vec point;
        Vec normal;
        Response response;
    } cases[] = {
        {"NaN point", {kNaN, 0, 0}, kNormal, kFirst},
        {"infinite point", {0, 0, -kInf}, kNormal, kFirst},
        {"NaN normal", kPoint, {0, kNaN, 0}, kFirst},
        {"infinite normal", kPoint, {kInf, 0, 0}, kFirst},
        {"normal shorter than 0.001", kPoint, {0, -0.00099f, 0}, kFirst},
        {"zero normal", kPoint, {0, 0, 0}, kFirst},
        {"normal too long to measure", kPoint, {0, -1e30f, 1e30f}, kFirst},
        {"zero depth", kPoint, kNormal, {0.2f, 0.0f, 1.5f}},
        {"negative depth", kPoint, kNormal, {0.2f, -0.1f, 1.5f}},
        {"NaN depth", kPoint, kNormal, {0.2f, kNaN, 1.5f}},
        {"zero radius", kPoint, kNormal, {0.2f, 0.2f, 0.0f}},
        {"infinite radius", kPoint, kNormal, {0.2f, 0.2f, kInf}},
        {"the all-zero response", kPoint, kNormal, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Episode empty{};
        EXPECT_FALSE(empty.observe(c.point, c.normal, c.response, 1000, kGap));
        EXPECT_TRUE(sameBits(empty, Episode{}));

        Episode e = begun(1000);
        const Episode before = e;
        EXPECT_FALSE(e.observe(c.point, c.normal, c.response, 1100, kGap));
        EXPECT_TRUE(sameBits(e, before));
    }
    // Just long enough is accepted.
    Episode e{};
    EXPECT_TRUE(e.observe(kPoint, {0, -0.001f, 0}, kFirst, 1000, kGap));
    EXPECT_NEAR(e.normal.y, -1.0f, 1e-6f);
}

} // namespace
