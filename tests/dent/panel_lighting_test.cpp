#include "dent/fold_profile.h"
#include "dent/panel_lighting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using dent::PanelLattice;
using dent::PanelLighting;
using dent::PanelShape;
using dent::Vec;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Panel {
    PanelShape shape;
    PanelLattice lattice;
};

Panel panel(float sign, float crease) {
    Panel p{{sign, 0.9f, 1.4f, crease}, {}};
    dent::SpanFold span{};
    span.from = -0.7f;
    span.to = 0.7f;
    span.height = 0.5f;
    span.columns = 6;
    p.lattice.init(span, p.shape);
    return p;
}

std::vector<Vec> restOf(const PanelLattice& l) {
    std::vector<Vec> r;
    for (const dent::SheetPoint& s : l.sheet)
        r.push_back(s.rest);
    return r;
}

bool bitEqual(Vec a, Vec b) {
    return std::memcmp(&a, &b, sizeof(Vec)) == 0;
}

void expectNear(Vec a, Vec b, float tolerance) {
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

// Random rest position inside the lattice, with the crease side it lies on.
struct Vertex {
    Vec rest;
    Vec normal;
    int side;
};

Vertex randomVertex(std::mt19937& rng, const Panel& p) {
    std::uniform_real_distribution<float> x(-0.7f, 0.7f),
        y(p.lattice.rowYs.front(), p.lattice.rowYs.back()), n(-1, 1);
    Vertex v{{x(rng), y(rng), 0.5f}, {n(rng), n(rng), 0.3f + std::fabs(n(rng))}, 0};
    const float creaseS = p.shape.start + p.shape.length * p.shape.crease;
    v.side = v.rest.y * p.shape.sign > creaseS ? 1 : 0;
    return v;
}

TEST(PanelLighting, UndeformedLatticeHasUnitGradients) {
    const Panel p = panel(1, 0.45f);
    const PanelLighting lighting(p.lattice, restOf(p.lattice), p.shape);
    int measured = 0;
    for (const auto& list : lighting.sides) {
        ASSERT_EQ(list.size(), p.lattice.sheet.size());
        for (const PanelLighting::Gradient& g : list) {
            if (g.weight == 0.0f) continue;
            ++measured;
            expectNear(g.dx, {1, 0, 0}, 1e-6f);
            expectNear(g.dy, {0, 1, 0}, 1e-6f);
        }
    }
    // Every point has a gradient on its side; the crease row has both.
    EXPECT_EQ(measured, int(p.lattice.sheet.size() + p.lattice.columnXs.size()));
}

// Catches a wrong Jacobian or inverse: an undeformed, shifted or turned
// lattice must give the rest normal, normalised (and turned with the panel).
TEST(PanelLighting, RigidMotionsKeepOrTurnTheRestNormal) {
    std::mt19937 rng(8);
    for (const float sign : {1.0f, -1.0f}) {
        const Panel p = panel(sign, 0.55f);
        const std::vector<Vec> rest = restOf(p.lattice);
        const struct {
            const char* what;
            Vec shift;
            float angle; // about z
        } motions[] = {{"at rest", {0, 0, 0}, 0},
                       {"raised by 0.2", {0, 0, 0.2f}, 0},
                       {"shifted", {0.3f, -0.45f, 0.1f}, 0},
                       {"turned", {0.1f, 0, 0}, 0.4f}};
        for (const auto& m : motions) {
            const float c = std::cos(m.angle), s = std::sin(m.angle);
            std::vector<Vec> moved;
            for (const Vec r : rest)
                moved.push_back(Vec{c * r.x - s * r.y, s * r.x + c * r.y, r.z} + m.shift);
            const PanelLighting lighting(p.lattice, moved, p.shape);
            for (int n = 0; n < 500; ++n) {
                const Vertex v = randomVertex(rng, p);
                const Vec want = dent::normalized(
                    {c * v.normal.x - s * v.normal.y, s * v.normal.x + c * v.normal.y, v.normal.z});
                expectNear(lighting.normal(p.lattice, v.rest, v.normal, v.side), want, 1e-5f);
            }
        }
    }
}

// Catches the crease being smoothed over: the two sides of a folded panel
// tilt like the strips of the roof, each from its own list.
TEST(PanelLighting, FoldedPanelTiltsEachSideLikeItsStrip) {
    for (const float sign : {1.0f, -1.0f}) {
        const Panel p = panel(sign, 0.4f);
        const dent::FoldProfile f = dent::foldFor(p.shape.length, p.shape.crease, 0.3f);
        ASSERT_GT(f.lift, 0.0f);
        std::vector<Vec> positions;
        for (const Vec r : restOf(p.lattice))
            positions.push_back(dent::foldPoint(r, r, p.shape, f));
        const PanelLighting lighting(p.lattice, positions, p.shape);
        const Vec nearWant = dent::normalized({0, -sign * f.lift / f.nearReach, 1});
        const Vec farWant = dent::normalized({0, sign * f.lift / f.farReach, 1});
        const float creaseY = (p.shape.start + p.shape.length * p.shape.crease) * sign;
        const float nearY = (p.shape.start + p.shape.length * 0.2f) * sign;
        const float farY = (p.shape.start + p.shape.length * 0.8f) * sign;
        for (const float x : {-0.7f, -0.3f, 0.05f, 0.7f}) {
            expectNear(lighting.normal(p.lattice, {x, nearY, 0}, {0, 0, 1}, 0), nearWant, 1e-5f);
            expectNear(lighting.normal(p.lattice, {x, farY, 0}, {0, 0, 1}, 1), farWant, 1e-5f);
            // Two vertices on the crease line: one normal per side.
            expectNear(lighting.normal(p.lattice, {x, creaseY, 0}, {0, 0, 1}, 0), nearWant, 1e-5f);
            expectNear(lighting.normal(p.lattice, {x, creaseY, 0}, {0, 0, 1}, 7), farWant, 1e-5f);
        }
    }
}

TEST(PanelLighting, KeepsTheRestNormalWhereItCannotTurnIt) {
    const Panel p = panel(1, 0.5f);
    const std::vector<Vec> rest = restOf(p.lattice);
    const Vec n{0, 0.5f, 2}; // not unit: returned as it is
    const Vec nearPoint{0.1f, 1.0f, 0};
    const Vec farPoint{0.1f, 2.1f, 0};

    const PanelLighting atRest(p.lattice, rest, p.shape);
    EXPECT_TRUE(bitEqual(atRest.normal(p.lattice, nearPoint, n, 1), n)) << "no far gradient here";
    EXPECT_TRUE(bitEqual(atRest.normal(p.lattice, farPoint, n, 0), n)) << "no near gradient here";
    const Vec nanNormal{kNaN, 0, 1};
    EXPECT_TRUE(bitEqual(atRest.normal(p.lattice, nearPoint, nanNormal, 0), nanNormal));
    const Vec nanZ{0, 0, kNaN};
    EXPECT_TRUE(bitEqual(atRest.normal(p.lattice, nearPoint, nanZ, 0), nanZ));
    EXPECT_TRUE(bitEqual(atRest.normal(p.lattice, nearPoint, {0, 0, 0}, 0), Vec{0, 0, 0}));

    std::vector<Vec> mirrored = rest; // folded over across x
    for (Vec& v : mirrored)
        v.x = -v.x;
    const PanelLighting folded(p.lattice, mirrored, p.shape);
    EXPECT_TRUE(bitEqual(folded.normal(p.lattice, nearPoint, n, 0), n));

    std::vector<Vec> flattened = rest; // every cell squashed onto a line
    for (Vec& v : flattened)
        v.y = 1.5f;
    const PanelLighting flat(p.lattice, flattened, p.shape);
    EXPECT_TRUE(bitEqual(flat.normal(p.lattice, nearPoint, n, 0), n));

    const std::vector<Vec> tooFew(rest.begin(), rest.end() - 1);
    const PanelLighting unmeasured(p.lattice, tooFew, p.shape);
    EXPECT_TRUE(bitEqual(unmeasured.normal(p.lattice, nearPoint, n, 0), n));
}

TEST(PanelLighting, DegenerateCellsContributeNothing) {
    Panel p = panel(1, 0.5f);
    dent::SpanFold line{};
    line.from = 0.2f;
    line.to = 0.2f; // all columns on one line: every cell has zero area
    line.columns = 6;
    p.lattice.init(line, p.shape);
    const PanelLighting lighting(p.lattice, restOf(p.lattice), p.shape);
    for (const auto& list : lighting.sides)
        for (const PanelLighting::Gradient& g : list)
            EXPECT_EQ(g.weight, 0.0f);
    const Vec n{0.3f, 0, 1};
    EXPECT_TRUE(bitEqual(lighting.normal(p.lattice, {0.2f, 1.2f, 0}, n, 0), n));
}

} // namespace
