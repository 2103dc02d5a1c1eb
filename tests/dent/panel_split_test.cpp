#include "dent/panel_split.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

using dent::PanelShape;
using dent::PanelTriangle;
using dent::PanelVertex;
using dent::SpanFold;
using dent::Vec;

PanelVertex at(float x, float y, float z) {
    PanelVertex v{};
    v.position = {x, y, z};
    return v;
}

PanelTriangle triangle(Vec a, Vec b, Vec c, int material = 3) {
    PanelTriangle t{};
    t.vertices[0] = at(a.x, a.y, a.z);
    t.vertices[1] = at(b.x, b.y, b.z);
    t.vertices[2] = at(c.x, c.y, c.z);
    t.material = material;
    return t;
}

// The 26 interpolated floats, side excluded.
bool sameFloats(const PanelVertex& a, const PanelVertex& b) {
    return std::memcmp(&a, &b, 26 * sizeof(float)) == 0;
}

bool same(const PanelTriangle& a, const PanelTriangle& b) {
    return std::memcmp(&a, &b, sizeof(PanelTriangle)) == 0;
}

bool sameLists(const std::vector<PanelTriangle>& a, const std::vector<PanelTriangle>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

Vec areaVector(const PanelTriangle& t) {
    const Vec& a = t.vertices[0].position;
    return dent::cross(t.vertices[1].position - a, t.vertices[2].position - a) * 0.5f;
}

double area(const PanelTriangle& t) {
    return dent::length(areaVector(t));
}

double totalArea(const std::vector<PanelTriangle>& list) {
    double sum = 0;
    for (const PanelTriangle& t : list)
        sum += area(t);
    return sum;
}

// Random corner with every interpolated field set, so that a field left out
// of an interpolation shows.
PanelVertex randomVertex(std::mt19937& rng, float x0, float x1, float y0, float y1) {
    std::uniform_real_distribution<float> x(x0, x1), y(y0, y1), z(0.2f, 0.6f), n(-1, 1),
        colour(0, 255), uv(-2, 2);
    PanelVertex v{};
    v.position = {x(rng), y(rng), z(rng)};
    v.normal = {n(rng), n(rng), n(rng)};
    for (float& c : v.colour)
        c = colour(rng);
    for (auto& set : v.uv) {
        set[0] = uv(rng);
        set[1] = uv(rng);
    }
    v.side = int(rng() % 2);
    return v;
}

PanelTriangle randomTriangle(std::mt19937& rng, float x0, float x1, float y0, float y1) {
    PanelTriangle t{};
    for (PanelVertex& v : t.vertices)
        v = randomVertex(rng, x0, x1, y0, y1);
    t.material = int(rng() % 5) - 1;
    return t;
}

TEST(SplitWidth, WorkedExample) {
    PanelTriangle t = triangle({0, 0, 0}, {2, 0, 0}, {0, 2, 0});
    t.vertices[0].uv[2][1] = 4;
    t.vertices[1].uv[2][1] = 8;
    t.vertices[1].colour[3] = 200;
    t.vertices[2].normal = {0, 0, 2};
    const std::vector<PanelTriangle> out = dent::splitWidth(t, 1.0f);
    ASSERT_EQ(out.size(), 3u);
    PanelVertex ab = at(1, 0, 0); // midpoint of A-B
    ab.uv[2][1] = 6;
    ab.colour[3] = 100;
    PanelVertex bc = at(1, 1, 0); // midpoint of B-C
    bc.uv[2][1] = 4;
    bc.colour[3] = 100;
    bc.normal = {0, 0, 1};
    const PanelVertex want[3][3] = {
        {t.vertices[0], ab, bc}, {t.vertices[0], bc, t.vertices[2]}, {ab, t.vertices[1], bc}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(out[i].material, 3);
        for (int k = 0; k < 3; ++k)
            EXPECT_TRUE(sameFloats(out[i].vertices[k], want[i][k])) << i << k;
    }
}

TEST(SplitWidth, TrianglesThatDoNotCrossComeBackUnchanged) {
    const struct {
        const char* what;
        PanelTriangle t;
    } cases[] = {
        {"wholly before", triangle({0, 0, 0}, {0.5f, 0, 0}, {0, 1, 0})},
        {"wholly beyond", triangle({2, 0, 0}, {3, 0, 0}, {2, 1, 0})},
        {"touching with a vertex", triangle({0, 0, 0}, {1, 0, 0}, {0, 1, 0})},
        {"touching with an edge from beyond", triangle({1, 0, 0}, {2, 0, 0}, {1, 1, 0})},
        {"all on the line", triangle({1, 0, 0}, {1, 1, 1}, {1, 2, 0})},
        {"zero area, not crossing", triangle({0, 0, 0}, {0.5f, 0, 0}, {0.25f, 0, 0})},
    };
    for (const auto& c : cases) {
        const std::vector<PanelTriangle> out = dent::splitWidth(c.t, 1.0f);
        ASSERT_EQ(out.size(), 1u) << c.what;
        EXPECT_TRUE(same(out[0], c.t)) << c.what;
    }
}

TEST(SplitWidth, VertexOnTheLineGivesTwoPiecesAndZeroAreaInputVanishes) {
    const std::vector<PanelTriangle> two =
        dent::splitWidth(triangle({1, 0, 0}, {2, 1, 0}, {0, 1, 0}), 1.0f);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_LE(two[0].vertices[0].position.x + two[0].vertices[1].position.x +
                  two[0].vertices[2].position.x,
              3.0f);
    EXPECT_TRUE(dent::splitWidth(triangle({0, 0, 0}, {2, 0, 0}, {1.5f, 0, 0}), 1.0f).empty());
}

TEST(SplitCrease, SetsTheSideOfUncutTriangles) {
    const struct {
        const char* what;
        PanelTriangle t;
        int side;
    } cases[] = {
        {"wholly beyond", triangle({0, 1, 0}, {1, 1.5f, 0}, {0, 2, 0}), 1},
        {"beyond, touching with a vertex", triangle({0, 0.5f, 0}, {1, 1.5f, 0}, {0, 2, 0}), 1},
        {"wholly before", triangle({0, 0, 0}, {1, 0.2f, 0}, {0, 0.4f, 0}), 0},
        {"before, touching with an edge", triangle({0, 0, 0}, {1, 0.5f, 0}, {0, 0.5f, 0}), 0},
        {"on the line", triangle({0, 0.5f, 0}, {1, 0.5f, 0}, {2, 0.5f, 1}), 0},
    };
    for (const auto& c : cases) {
        PanelTriangle in = c.t;
        in.vertices[1].side = 1 - c.side;
        const std::vector<PanelTriangle> out = dent::splitCrease(in, 1.0f, 0.5f);
        ASSERT_EQ(out.size(), 1u) << c.what;
        for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(sameFloats(out[0].vertices[k], in.vertices[k])) << c.what;
            EXPECT_EQ(out[0].vertices[k].side, c.side) << c.what;
        }
    }
}

TEST(SplitCrease, NearPiecesFirstThenFar) {
    // A boot axis: p = -1, the far side is where -y > q.
    const std::vector<PanelTriangle> out =
        dent::splitCrease(triangle({0, 0, 0}, {1, -2, 0}, {0, -2, 0}), -1.0f, 1.0f);
    ASSERT_EQ(out.size(), 3u);
    const int sides[] = {0, 1, 1};
    for (int i = 0; i < 3; ++i)
        for (const PanelVertex& v : out[i].vertices) {
            EXPECT_EQ(v.side, sides[i]);
            EXPECT_TRUE(sides[i] ? v.position.y <= -1.0f : v.position.y >= -1.0f);
        }
}

TEST(Clip, CrossingVerticesLieExactlyOnTheCut) {
    std::mt19937 rng(21);
    for (int n = 0; n < 500; ++n) {
        const PanelTriangle t = randomTriangle(rng, -1, 1, -1, 1);
        for (const bool positive : {false, true}) {
            for (const PanelVertex& v : dent::clipWidth(t, 0.1f, positive)) {
                const bool original =
                    std::any_of(std::begin(t.vertices), std::end(t.vertices),
                                [&](const PanelVertex& o) { return sameFloats(o, v); });
                if (!original) {
                    EXPECT_EQ(v.position.x, 0.1f);
                }
                EXPECT_TRUE(positive ? v.position.x >= 0.1f : v.position.x <= 0.1f);
            }
            for (const PanelVertex& v : dent::clipCrease(t, -1.0f, 0.3f, positive)) {
                const bool original =
                    std::any_of(std::begin(t.vertices), std::end(t.vertices),
                                [&](const PanelVertex& o) { return sameFloats(o, v); });
                if (!original) {
                    EXPECT_EQ(v.position.y, -0.3f);
                    EXPECT_EQ(v.side, 0);
                }
            }
        }
    }
    // Wholly outside: empty.
    EXPECT_TRUE(dent::clipWidth(triangle({2, 0, 0}, {3, 0, 0}, {2, 1, 0}), 1.0f, false).empty());
}

TEST(SplitLatticeDiagonal, InterpolatesBothCoordinates) {
    PanelTriangle t = triangle({0, 0.5f, 0}, {1, 0.5f, 0}, {0.5f, 2, 0});
    t.vertices[0].side = 1;
    const std::vector<PanelTriangle> out = dent::splitLatticeDiagonal(t, 0, 0, 1, 1);
    ASSERT_EQ(out.size(), 3u);
    // The crossing on edge 0->1 is the diagonal point (0.5, 0.5).
    EXPECT_EQ(out[0].vertices[1].position.x, 0.5f);
    EXPECT_EQ(out[0].vertices[1].position.y, 0.5f);
    EXPECT_EQ(out[0].vertices[1].side, 1);
    // Edge 1->2 is crossed at t = 0.25, both coordinates interpolated.
    EXPECT_EQ(out[0].vertices[2].position.x, 0.875f);
    EXPECT_EQ(out[0].vertices[2].position.y, 0.875f);
}

// Per cut family: the pieces cover the input (area), never flip over, and a
// crossing vertex is the same 26 floats on both sides of the cut.
enum class Cut { width, crease, diagonal };

std::vector<PanelTriangle> split(Cut cut, const PanelTriangle& t) {
    switch (cut) {
    case Cut::width:
        return dent::splitWidth(t, 0.05f);
    case Cut::crease:
        return dent::splitCrease(t, -1.0f, 0.1f);
    default:
        return dent::splitLatticeDiagonal(t, -0.3f, -0.2f, 0.7f, 0.9f);
    }
}

float distance(Cut cut, const PanelVertex& v) {
    switch (cut) {
    case Cut::width:
        return v.position.x - 0.05f;
    case Cut::crease:
        return v.position.y * -1.0f - 0.1f;
    default:
        return (v.position.x + 0.3f) / 0.7f - (v.position.y + 0.2f) / 0.9f;
    }
}

TEST(SplitProperties, ConserveAreaKeepWindingAndShareCrossings) {
    std::mt19937 rng(1234);
    for (const Cut cut : {Cut::width, Cut::crease, Cut::diagonal}) {
        int splitCount = 0;
        for (int n = 0; n < 3000; ++n) {
            const PanelTriangle t = randomTriangle(rng, -1, 1, -1, 1);
            const std::vector<PanelTriangle> out = split(cut, t);
            const Vec normal = areaVector(t);
            EXPECT_NEAR(totalArea(out), area(t), 1e-5 + 3 * 1e-6 * double(out.size()));
            for (const PanelTriangle& piece : out) {
                EXPECT_EQ(piece.material, t.material);
                EXPECT_GT(dent::dot(areaVector(piece), normal), 0.0f) << "mirrored piece";
                if (cut != Cut::crease) continue;
                for (const PanelVertex& v : piece.vertices)
                    EXPECT_EQ(v.side, piece.vertices[0].side);
            }
            // A generic crossing gives a triangle on one side and two on the
            // other; with fewer, a sliver was dropped along with its corners.
            if (out.size() != 3) continue;
            ++splitCount;
            // Vertices made by the cut, by side of the cut they were built for.
            std::vector<PanelVertex> made[2];
            for (const PanelTriangle& piece : out) {
                float sum = 0;
                for (const PanelVertex& v : piece.vertices)
                    sum += distance(cut, v);
                const int sideOfCut = sum > 0 ? 1 : 0;
                for (const PanelVertex& v : piece.vertices) {
                    const bool original =
                        std::any_of(std::begin(t.vertices), std::end(t.vertices),
                                    [&](const PanelVertex& o) { return sameFloats(o, v); });
                    if (!original) made[sideOfCut].push_back(v);
                }
            }
            for (int s = 0; s < 2; ++s)
                for (const PanelVertex& v : made[s])
                    EXPECT_TRUE(std::any_of(made[1 - s].begin(), made[1 - s].end(),
                                            [&](const PanelVertex& o) { return sameFloats(o, v); }))
                        << "crossing vertex differs across the cut";
        }
        EXPECT_GT(splitCount, 500);
    }
}

// Straightforward composition of the public cuts, rows made by exchanging x
// and y around splitWidth, against which the fused surface split must agree
// bit for bit.
PanelTriangle swapped(PanelTriangle t) {
    for (PanelVertex& v : t.vertices)
        std::swap(v.position.x, v.position.y);
    return t;
}

std::vector<PanelTriangle> referenceSurface(const PanelTriangle& t, const PanelShape& shape,
                                            float a, float b, unsigned n) {
    std::vector<PanelTriangle> list =
        dent::splitCrease(t, shape.sign, shape.length * shape.crease + shape.start);
    const unsigned count = std::min(12u, std::max(2u, n));
    const float span = b - a;
    if (span > 0.001f) {
        for (unsigned k = 1; k < count; ++k) {
            const float w = (float(k) * span) / float(count) + a;
            std::vector<PanelTriangle> next;
            for (const PanelTriangle& piece : list)
                for (const PanelTriangle& p : dent::splitWidth(piece, w))
                    next.push_back(p);
            list = next;
        }
    }
    for (int k = 1; k <= 5; ++k) {
        const float l = ((float(k) * shape.length) / 6.0f + shape.start) * shape.sign;
        std::vector<PanelTriangle> next;
        for (const PanelTriangle& piece : list)
            for (const PanelTriangle& p : dent::splitWidth(swapped(piece), l))
                next.push_back(swapped(p));
        list = next;
    }
    return list;
}

std::vector<PanelTriangle> referenceLattice(const PanelTriangle& t, const PanelShape& shape,
                                            const SpanFold& span,
                                            const dent::PanelLattice& lattice) {
    std::vector<PanelTriangle> out;
    const std::vector<float>& xs = lattice.columnXs;
    const std::vector<float>& ys = lattice.rowYs;
    for (const PanelTriangle& p :
         dent::splitPanelSurface(t, shape, span.from, span.to, span.columns)) {
        const float cx =
            ((p.vertices[0].position.x + p.vertices[1].position.x) + p.vertices[2].position.x) *
            0.33333334f;
        const float cy =
            ((p.vertices[0].position.y + p.vertices[1].position.y) + p.vertices[2].position.y) *
            0.33333334f;
        std::size_t i = std::count_if(xs.begin(), xs.end(), [&](float x) { return x <= cx; });
        i = std::min(std::max<std::size_t>(i, 1) - 1, xs.size() - 2);
        std::size_t r = std::count_if(ys.begin(), ys.end(), [&](float y) { return y <= cy; });
        r = std::min(std::max<std::size_t>(r, 1) - 1, ys.size() - 2);
        for (const PanelTriangle& d :
             dent::splitLatticeDiagonal(p, xs[i], ys[r], xs[i + 1] - xs[i], ys[r + 1] - ys[r]))
            out.push_back(d);
    }
    return out;
}

struct Panel {
    PanelShape shape;
    SpanFold span;
    dent::PanelLattice lattice;
};

Panel panel(float sign, float start, float length, float crease, float from, float to) {
    Panel p{{sign, start, length, crease}, SpanFold{}, {}};
    p.span.from = from;
    p.span.to = to;
    p.span.height = 0.4f;
    p.span.columns = 6;
    p.lattice.init(p.span, p.shape);
    return p;
}

TEST(SplitPanel, MatchesTheStraightforwardCompositionBitForBit) {
    std::mt19937 rng(99);
    const Panel panels[] = {panel(1, 0.6f, 1.3f, 0.47f, -0.7f, 0.75f),
                            panel(-1, 1.1f, 0.9f, 0.61f, -0.6f, 0.6f)};
    for (const Panel& p : panels) {
        dent::PanelCutter cutter(p.shape, p.span, p.lattice);
        const float y0 =
            std::min(p.shape.start * p.shape.sign, (p.shape.start + p.shape.length) * p.shape.sign);
        for (int n = 0; n < 400; ++n) {
            // Mostly small triangles, some spanning the panel, some beyond it.
            const float size = n % 10 == 0 ? 2.0f : 0.3f;
            std::uniform_real_distribution<float> cx(-0.9f, 0.9f),
                cy(y0 - 0.1f, y0 + p.shape.length + 0.1f);
            const float x = cx(rng), y = cy(rng);
            const PanelTriangle t = randomTriangle(rng, x - size, x + size, y - size, y + size);
            for (const unsigned columns : {0u, 1u, 6u, 13u})
                ASSERT_TRUE(
                    sameLists(dent::splitPanelSurface(t, p.shape, p.span.from, p.span.to, columns),
                              referenceSurface(t, p.shape, p.span.from, p.span.to, columns)));
            const std::vector<PanelTriangle> reference =
                referenceLattice(t, p.shape, p.span, p.lattice);
            ASSERT_TRUE(
                sameLists(dent::splitPanelLattice(t, p.shape, p.span, p.lattice), reference));
            // The cutter appends the same pieces behind what the list held, also
            // for corners of at most two texture sets (which it cuts narrower),
            // and counts them from the corners' positions alone.
            std::vector<PanelTriangle> appended(1, t);
            cutter.cut(t, appended);
            ASSERT_TRUE(sameLists({appended.begin() + 1, appended.end()}, reference));
            PanelTriangle narrow = t;
            for (PanelVertex& v : narrow.vertices)
                for (int set = 2; set < 8; ++set)
                    v.uv[set][0] = v.uv[set][1] = 0.0f;
            std::vector<PanelTriangle> narrowPieces;
            cutter.cut(narrow, narrowPieces);
            ASSERT_TRUE(
                sameLists(narrowPieces, referenceLattice(narrow, p.shape, p.span, p.lattice)));
            ASSERT_EQ(cutter.count(t.vertices[0].position, t.vertices[1].position,
                                   t.vertices[2].position),
                      reference.size());
        }
    }
}

bool crossesX(const std::vector<PanelTriangle>& list, float x) {
    for (const PanelTriangle& t : list) {
        bool below = false, above = false;
        for (const PanelVertex& v : t.vertices) {
            below |= v.position.x < x - 1e-6f;
            above |= v.position.x > x + 1e-6f;
        }
        if (below && above) return true;
    }
    return false;
}

TEST(SplitPanelSurface, ClampsTheColumnCount) {
    const PanelShape shape{1, 0, 1, 0.5f};
    const PanelTriangle big = triangle({-0.1f, -0.1f, 0}, {2.5f, -0.1f, 0}, {-0.1f, 2.5f, 0});
    const struct {
        unsigned columns;
        float end;
        int cuts;
    } cases[] = {{0, 1, 2},   {1, 1, 2},   {2, 1, 2},    {6, 1, 6},
                 {12, 1, 12}, {13, 1, 12}, {400, 1, 12}, {6, 0.001f, 0}};
    for (const auto& c : cases) {
        const std::vector<PanelTriangle> out =
            dent::splitPanelSurface(big, shape, 0, c.end, c.columns);
        if (c.cuts == 0) {
            EXPECT_TRUE(crossesX(out, 0.0005f));
        } else {
            for (int k = 1; k < c.cuts; ++k)
                EXPECT_FALSE(crossesX(out, (float(k) * c.end) / float(c.cuts)));
            // Not finer than asked: the middle of the first column is not cut.
            EXPECT_TRUE(crossesX(out, c.end / float(2 * c.cuts))) << c.columns;
        }
        // The crease and the five row lines are always cut.
        for (const PanelTriangle& t : out) {
            float lo = 10, hi = -10;
            for (const PanelVertex& v : t.vertices) {
                lo = std::min(lo, v.position.y);
                hi = std::max(hi, v.position.y);
            }
            for (int k = 1; k <= 5; ++k)
                EXPECT_FALSE(lo < k / 6.0f - 1e-6f && hi > k / 6.0f + 1e-6f);
        }
    }
}

// Catches a wrong cell choice or a missing cut: after the whole subdivision
// every piece lies in one interpolation triangle of the lattice, has one
// crease side, and the pieces still cover the input.
TEST(SplitPanelLattice, EveryPieceLiesInOneInterpolationTriangle) {
    std::mt19937 rng(2024);
    const Panel panels[] = {panel(1, 0.6f, 1.3f, 0.47f, -0.7f, 0.75f),
                            panel(-1, 1.1f, 0.9f, 0.61f, -0.6f, 0.6f),
                            panel(1, -0.2f, 1.2f, 0.5f, -0.5f, 0.5f)};
    for (const Panel& p : panels) {
        const std::vector<float>& xs = p.lattice.columnXs;
        const std::vector<float>& ys = p.lattice.rowYs;
        const float creaseS = p.shape.start + p.shape.length * p.shape.crease;
        for (int n = 0; n < 300; ++n) {
            const PanelTriangle t =
                randomTriangle(rng, xs.front(), xs.back(), ys.front(), ys.back());
            const std::vector<PanelTriangle> out =
                dent::splitPanelLattice(t, p.shape, p.span, p.lattice);
            EXPECT_NEAR(totalArea(out), area(t), 1e-5 + 3e-6 * double(out.size()));
            for (const PanelTriangle& piece : out) {
                const PanelVertex* v = piece.vertices;
                EXPECT_GT(dent::dot(areaVector(piece), areaVector(t)), 0.0f);
                EXPECT_TRUE(v[0].side == v[1].side && v[1].side == v[2].side);
                const float cx = (v[0].position.x + v[1].position.x + v[2].position.x) / 3;
                const float cy = (v[0].position.y + v[1].position.y + v[2].position.y) / 3;
                EXPECT_EQ(v[0].side, cy * p.shape.sign > creaseS ? 1 : 0);
                const dent::LatticeSample s = p.lattice.sample({cx, cy, 0});
                // The corners of the centroid's triangle, counter-clockwise.
                Vec c[3];
                for (int k = 0; k < 3; ++k)
                    c[k] = p.lattice.sheet[s.index[k]].rest;
                for (int k = 0; k < 3; ++k) {
                    const Vec q = v[k].position;
                    for (int e = 0; e < 3; ++e) {
                        const Vec a = c[e], b = c[(e + 1) % 3];
                        const float edge = std::hypot(b.x - a.x, b.y - a.y);
                        const float inward =
                            ((b.x - a.x) * (q.y - a.y) - (b.y - a.y) * (q.x - a.x)) / edge;
                        EXPECT_GE(inward, -2e-6f)
                            << "piece vertex outside its interpolation triangle";
                    }
                }
            }
        }
    }
}

} // namespace
