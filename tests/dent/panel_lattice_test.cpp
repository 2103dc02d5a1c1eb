#include "dent/panel_lattice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using dent::PanelLattice;
using dent::PanelShape;
using dent::SpanFold;
using dent::Vec;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

SpanFold span(float from, float to, float height, unsigned columns) {
    SpanFold s{};
    s.from = from;
    s.to = to;
    s.height = height;
    s.columns = columns;
    return s;
}

PanelLattice lattice(const SpanFold& s, const PanelShape& shape) {
    PanelLattice l;
    l.init(s, shape);
    return l;
}

std::vector<Vec> restOf(const PanelLattice& l) {
    std::vector<Vec> r;
    for (const dent::SheetPoint& p : l.sheet)
        r.push_back(p.rest);
    return r;
}

bool bitEqual(const std::vector<Vec>& a, const std::vector<Vec>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Vec)) == 0;
}

TEST(PanelLatticeInit, SixColumnsAcrossTheSpan) {
    const PanelLattice l = lattice(span(-1, 1, 0.3f, 6), {1, 0, 1, 0.5f});
    const float want[] = {-1.0f, -0.6666667f, -0.3333333f, 0.0f, 0.3333333f, 0.6666667f, 1.0f};
    ASSERT_EQ(l.columnXs.size(), 7u);
    for (int i = 0; i < 7; ++i)
        EXPECT_FLOAT_EQ(l.columnXs[i], want[i]);
    EXPECT_EQ(l.sheet.size(), 7u * l.rowYs.size());
    EXPECT_TRUE(bitEqual(l.points, restOf(l)));
}

TEST(PanelLatticeInit, RowsAreSixBandsPlusTheCrease) {
    const struct {
        PanelShape shape;
        std::vector<float> rows;
    } cases[] = {
        {{1, 0, 1, 0.5f}, {0, 1 / 6.f, 2 / 6.f, 0.5f, 4 / 6.f, 5 / 6.f, 1}},
        {{1, 0, 1, 0.4f}, {0, 1 / 6.f, 2 / 6.f, 0.4f, 0.5f, 4 / 6.f, 5 / 6.f, 1}},
        {{-1, 0, 1, 0.4f}, {-1, -5 / 6.f, -4 / 6.f, -0.5f, -0.4f, -2 / 6.f, -1 / 6.f, 0}},
        {{1, 2, 1.2f, 0.5f + 1e-7f}, {2, 2.2f, 2.4f, 2.6f, 2.8f, 3.0f, 3.2f}},
    };
    for (const auto& c : cases) {
        const PanelLattice l = lattice(span(-1, 1, 0, 6), c.shape);
        ASSERT_EQ(l.rowYs.size(), c.rows.size());
        for (std::size_t j = 0; j < c.rows.size(); ++j)
            EXPECT_NEAR(l.rowYs[j], c.rows[j], 1e-6f);
        for (std::size_t j = 1; j < l.rowYs.size(); ++j)
            EXPECT_GT(l.rowYs[j] - l.rowYs[j - 1], 1e-6f);
    }
}

TEST(PanelLatticeInit, LengthStencilsStopAtTheCrease) {
    for (const float sign : {1.0f, -1.0f}) {
        const PanelLattice l = lattice(span(0, 1, 0.5f, 2), {sign, 0, 1, 0.4f});
        const float crease = 0.4f * sign;
        for (std::size_t j = 0; j < l.rowYs.size(); ++j) {
            const dent::SheetPoint& p = l.sheet[j * 3 + 1];
            const float y = l.rowYs[j];
            EXPECT_EQ(p.rest.x, 0.5f);
            EXPECT_EQ(p.rest.y, y);
            EXPECT_EQ(p.rest.z, 0.5f);
            EXPECT_EQ(p.restSpanLow.x, 0.5f - 0.002f);
            EXPECT_EQ(p.restSpanHigh.x, 0.5f + 0.002f);
            EXPECT_EQ(p.spanStep, 0.004f);
            EXPECT_EQ(p.lengthStep, p.restLengthHigh.y - p.restLengthLow.y);
            EXPECT_EQ(std::memcmp(&p.current, &p.rest, 5 * sizeof(Vec)), 0);
            if (y == crease) {
                // One-sided, on the side the panel grows from.
                EXPECT_EQ(p.restLengthLow.y, sign > 0 ? y - 0.002f : y);
                EXPECT_EQ(p.restLengthHigh.y, sign > 0 ? y : y + 0.002f);
            } else {
                EXPECT_FALSE(p.restLengthLow.y < crease && p.restLengthHigh.y > crease);
            }
        }
    }
}

TEST(PanelLatticeInit, StartsOverAndNeedsAColumn) {
    PanelLattice l = lattice(span(0, 1, 0, 6), {1, 0, 1, 0.5f});
    l.init(span(0, 2, 0, 0), {1, 0, 1, 0.4f});
    EXPECT_EQ(l.columnXs, (std::vector<float>{0.0f, 2.0f}));
    EXPECT_EQ(l.rowYs.size(), 8u);
    EXPECT_EQ(l.sheet.size(), 16u);
    EXPECT_EQ(l.points.size(), 16u);
}

TEST(PanelLatticeInit, NonFiniteShapeLeavesNoNonFiniteRow) {
    const PanelLattice l = lattice(span(0, 1, 0, 6), {1, 0, 1, kNaN});
    EXPECT_EQ(l.rowYs.size(), 7u);
    for (const float y : l.rowYs)
        EXPECT_TRUE(std::isfinite(y));
}

TEST(PanelLatticeSample, PicksTheCellAndDiagonalTriangle) {
    const PanelLattice l = lattice(span(0, 3, 0, 3), {1, 0, 6, 0.5f}); // unit cells, 4 x 7
    const struct {
        Vec p;
        dent::LatticeSample want;
    } cases[] = {
        {{0.25f, 0.5f, 9}, {{0, 5, 4}, {0.5f, 0.25f, 0.25f}}},    // above the diagonal
        {{0.75f, 0.5f, 0}, {{0, 1, 5}, {0.25f, 0.25f, 0.5f}}},    // below it
        {{1.0f, 0.0f, 0}, {{1, 2, 6}, {1.0f, 0.0f, 0.0f}}},       // on a column: cell to its right
        {{3.0f, 2.5f, 0}, {{10, 11, 15}, {0.0f, 0.5f, 0.5f}}},    // last column: last cell, fx 1
        {{-50.0f, 99.0f, 0}, {{20, 25, 24}, {0.0f, 0.0f, 1.0f}}}, // far outside: border cell
        {{kNaN, 0.5f, 0}, {{2, 7, 6}, {0.5f, 0.0f, 0.5f}}},       // NaN counts as the low edge
    };
    for (const auto& c : cases) {
        const dent::LatticeSample s = l.sample(c.p);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(s.index[k], c.want.index[k]) << c.p.x << "," << c.p.y << " k=" << k;
            EXPECT_FLOAT_EQ(s.weight[k], c.want.weight[k]) << c.p.x << "," << c.p.y << " k=" << k;
        }
    }
}

// Catches wrong corners or weights: interpolating the rest positions must
// give back the sampled point anywhere inside the lattice.
TEST(PanelLatticeSample, ReproducesPointsInsideTheLattice) {
    const PanelLattice l = lattice(span(-0.7f, 0.8f, 0.2f, 6), {-1, -2.1f, 1.3f, 0.43f});
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> x(-0.7f, 0.8f), y(0.8f, 2.1f);
    for (int n = 0; n < 5000; ++n) {
        const Vec p{x(rng), y(rng), 0};
        const dent::LatticeSample s = l.sample(p);
        Vec q{0, 0, 0};
        float sum = 0;
        for (int k = 0; k < 3; ++k) {
            ASSERT_LT(s.index[k], l.sheet.size());
            EXPECT_GE(s.weight[k], 0.0f);
            q = q + l.sheet[s.index[k]].rest * s.weight[k];
            sum += s.weight[k];
        }
        EXPECT_NEAR(sum, 1.0f, 1e-6f);
        EXPECT_NEAR(q.x, p.x, 1e-5f);
        EXPECT_NEAR(q.y, p.y, 1e-5f);
    }
}

// Catches a remembered cell kept where the point left it: points on and
// beside every line, outside the lattice and NaN, one after another.
TEST(PanelLatticeSample, SampleNearIsSampleWhateverTheCellBefore) {
    const PanelLattice l = lattice(span(-0.8f, 0.8f, 0.2f, 6), PanelShape{-1, 0.3f, 1.2f, 0.43f});
    std::vector<float> xs = l.columnXs, ys = l.rowYs;
    std::vector<Vec> points;
    for (const float x : xs)
        for (const float y : ys)
            for (const float dx : {-1e-4f, 0.0f, 1e-4f})
                points.push_back(Vec{x + dx, y - dx, 0.0f});
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-2.5f, 2.5f);
    for (int i = 0; i < 500; ++i)
        points.push_back(Vec{u(rng), u(rng), 0.0f});
    points.push_back(Vec{kNaN, 0.0f, 0.0f});
    points.push_back(Vec{0.0f, kNaN, 0.0f});
    std::shuffle(points.begin() + points.size() / 2, points.end(), rng);
    std::size_t near[2] = {5, 6};
    for (const Vec& p : points) {
        const dent::LatticeSample want = l.sample(p), got = l.sampleNear(p, near);
        ASSERT_EQ(std::memcmp(&want, &got, sizeof want), 0) << p.x << " " << p.y;
    }
}

TEST(PanelLatticeSample, LatticeWithoutCellsAnswersTheFirstPoint) {
    const dent::LatticeSample s = PanelLattice{}.sample({1, 2, 3});
    EXPECT_EQ(s.index[0], 0u);
    EXPECT_EQ(s.weight[0], 1.0f);
    EXPECT_EQ(s.weight[1] + s.weight[2], 0.0f);
}

TEST(PanelLatticeOrdered, RejectsFoldedFlattenedAndBrokenLists) {
    const PanelLattice l = lattice(span(0, 3, 0, 3), {1, 0, 6, 0.5f}); // 4 x 7
    const std::vector<Vec> rest = restOf(l);
    EXPECT_TRUE(l.ordered(rest));
    struct Case {
        const char* what;
        std::size_t index;
        Vec moved;
        bool want;
    };
    const Case cases[] = {
        {"interior point across its neighbour's diagonal", 5, {2.2f, 0.5f, 0}, false},
        {"interior point lifted in z only", 5, {1, 1, 40}, true},
        {"small sideways move", 5, {1.1f, 1.05f, 0}, true},
        {"cell squeezed below a tenth of its area", 6, {1.05f, 1.95f, 0}, false},
        {"NaN in z", 9, {1, 2, kNaN}, false},
        {"infinite x", 27, {INFINITY, 6, 0}, false},
    };
    for (const Case& c : cases) {
        std::vector<Vec> p = rest;
        p[c.index] = c.moved;
        EXPECT_EQ(l.ordered(p), c.want) << c.what;
    }
    EXPECT_FALSE(l.ordered(std::vector<Vec>(rest.begin(), rest.end() - 1)));
    EXPECT_TRUE(PanelLattice{}.ordered({}));
}

TEST(PanelLatticeKeepOrdered, ScalesAFoldOverBackAlongTheStep) {
    PanelLattice l = lattice(span(0, 3, 0, 3), {1, 0, 6, 0.5f});
    const std::vector<Vec> previous = l.points;
    std::vector<Vec> p = previous;
    p[5] = {3.0f, 1.0f, 0.5f}; // (1, 1) pushed two cells to the right
    const std::vector<Vec> target = p;
    l.keepOrdered(p);
    EXPECT_TRUE(l.ordered(p));
    EXPECT_TRUE(bitEqual(l.points, p));
    const float t = (p[5].x - previous[5].x) / (target[5].x - previous[5].x);
    EXPECT_GT(t, 0.0f);
    EXPECT_LT(t, 1.0f);
    EXPECT_FLOAT_EQ(p[5].z, 0.5f * t);
    for (std::size_t k = 0; k < p.size(); ++k) {
        if (k == 5) continue;
        EXPECT_EQ(std::memcmp(&p[k], &previous[k], sizeof(Vec)), 0);
    }
    // The largest ordered fraction, to within the bisection's 1/65536.
    std::vector<Vec> further = p;
    further[5] = previous[5] + (target[5] - previous[5]) * (t + 2.0f / 65536.0f);
    EXPECT_FALSE(l.ordered(further));
}

TEST(PanelLatticeKeepOrdered, NaNOrMisSizedTargetKeepsThePreviousPositions) {
    PanelLattice l = lattice(span(0, 1, 0, 6), {1, 0, 1, 0.45f});
    std::vector<Vec> first = l.points;
    for (Vec& v : first)
        v.z += 0.1f;
    l.keepOrdered(first);
    const std::vector<Vec> accepted = l.points;

    std::vector<Vec> nan = accepted;
    nan[10].y = kNaN;
    l.keepOrdered(nan);
    EXPECT_TRUE(bitEqual(nan, accepted));
    EXPECT_TRUE(bitEqual(l.points, accepted));

    std::vector<Vec> shorter(accepted.begin(), accepted.end() - 3);
    l.keepOrdered(shorter);
    EXPECT_TRUE(bitEqual(shorter, accepted));
    EXPECT_TRUE(bitEqual(l.points, accepted));

    l.keepOrdered(l.points);
    EXPECT_TRUE(bitEqual(l.points, accepted));
}

// Catches any path that leaves a folded or non-finite lattice behind:
// whatever the target, the result is ordered and is what the lattice keeps;
// an ordered target is taken as it is.
TEST(PanelLatticeKeepOrdered, AlwaysLeavesAnOrderedLattice) {
    PanelLattice l = lattice(span(-0.8f, 0.8f, 0.4f, 6), {1, 1.0f, 1.4f, 0.55f});
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> jitter(-0.35f, 0.35f), unit(0.0f, 1.0f);
    for (int n = 0; n < 300; ++n) {
        std::vector<Vec> p = l.points;
        const float scale = unit(rng);
        for (Vec& v : p)
            v = v + Vec{jitter(rng), jitter(rng), jitter(rng)} * scale;
        if (n % 7 == 0) p[rng() % p.size()].x = kNaN;
        if (n % 11 == 0) p[rng() % p.size()].z = INFINITY;
        const std::vector<Vec> target = p;
        const bool wasOrdered = l.ordered(target);
        l.keepOrdered(p);
        ASSERT_TRUE(l.ordered(p)) << n;
        if (wasOrdered) {
            ASSERT_TRUE(bitEqual(p, target));
        }
        ASSERT_TRUE(bitEqual(l.points, p));
    }
}

TEST(PanelLatticeMove, TakesTheListsAndEmptiesTheSource) {
    PanelLattice source = lattice(span(0, 1, 0, 6), {1, 0, 1, 0.4f});
    const PanelLattice copy = source;
    PanelLattice target = lattice(span(0, 2, 0, 2), {-1, 0, 2, 0.5f});
    target = std::move(source);
    EXPECT_EQ(target.columnXs, copy.columnXs);
    EXPECT_EQ(target.rowYs, copy.rowYs);
    EXPECT_EQ(target.sheet.size(), copy.sheet.size());
    EXPECT_TRUE(bitEqual(target.points, copy.points));
    EXPECT_TRUE(source.columnXs.empty() && source.rowYs.empty() && source.sheet.empty() &&
                source.points.empty());
    PanelLattice built(std::move(target));
    EXPECT_EQ(built.sheet.size(), copy.sheet.size());
    EXPECT_TRUE(target.sheet.empty() && target.points.empty());
}

} // namespace
