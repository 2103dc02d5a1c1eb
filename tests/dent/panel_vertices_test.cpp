#include "dent/panel_vertices.h"

#include "dent/panel_split.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using dent::Vec;

struct Panel {
    dent::PanelShape shape{1.0f, 0.0f, 1.2f, 0.47f};
    dent::SpanFold span{};
    dent::PanelLattice lattice;
    std::vector<Vec> rest, restNormals;
    std::vector<std::int32_t> sides;
};

// A bonnet of 6 x 5 quads cut as the rebuild cuts it: vertices three to a
// piece, many on the lattice's lines, each with its own normal and side.
Panel cutPanel() {
    Panel p;
    p.span.from = -0.8f;
    p.span.to = 0.8f;
    p.span.columns = 6;
    p.lattice.init(p.span, p.shape);
    dent::PanelCutter cutter(p.shape, p.span, p.lattice);
    std::vector<dent::PanelTriangle> pieces;
    const auto corner = [](float x, float y) {
        dent::PanelVertex v{};
        v.position = {x, y, 0.02f * x * y};
        v.normal = {0.1f * x, -0.05f * y, 1.0f};
        return v;
    };
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 5; ++j) {
            const float x0 = -0.8f + 1.6f * float(i) / 6, x1 = -0.8f + 1.6f * float(i + 1) / 6;
            const float y0 = 1.2f * float(j) / 5, y1 = 1.2f * float(j + 1) / 5;
            cutter.cut({{corner(x0, y0), corner(x1, y0), corner(x1, y1)}, 0}, pieces);
            cutter.cut({{corner(x0, y0), corner(x1, y1), corner(x0, y1)}, 0}, pieces);
        }
    for (const dent::PanelTriangle& t : pieces)
        for (const dent::PanelVertex& v : t.vertices) {
            p.rest.push_back(v.position);
            p.restNormals.push_back(dent::normalized(v.normal));
            p.sides.push_back(v.side);
        }
    return p;
}

bool sameBits(const std::vector<Vec>& a, const std::vector<Vec>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Vec)) == 0;
}

// Catches a vertex left where an earlier pass put it although one of its
// sheet points (for its position) or their neighbours (for its normal)
// moved, by a whole fold or by the last bit: placing only what changed gives
// the bits of placing everything, and the mapped lanes give the bits of the
// plain per-vertex sample and normal.
TEST(PlacePanelVertices, OnlyWhatChangedIsPlacedAndTheBitsAreThoseOfAFullPlacement) {
    const Panel p = cutPanel();
    const std::size_t n = p.rest.size();
    const dent::PanelVertexMap map = dent::mapPanelVertices(p.lattice, p.rest.data(), n);
    ASSERT_EQ(map.samples.size(), n);

    std::vector<Vec> positions = p.rest, normals = p.restNormals;
    std::vector<Vec> previous;
    for (const dent::SheetPoint& s : p.lattice.sheet)
        previous.push_back(s.rest);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> small(-0.02f, 0.02f);
    const std::size_t points = previous.size();
    for (int pass = 0; pass < 40; ++pass) {
        std::vector<Vec> moved = previous;
        const std::size_t at = rng() % points;
        switch (pass % 4) {
        case 0: // a whole fold: every point rises with its row
            for (std::size_t k = 0; k < points; ++k)
                moved[k].z += 0.01f * float(k / 7);
            break;
        case 1: // one point by a whisker
            moved[at].z = std::nextafter(moved[at].z, 1.0f);
            break;
        case 2: // a small dent around one point
            for (std::size_t k = 0; k < points; ++k)
                if (k / 7 == at / 7 || k % 7 == at % 7)
                    moved[k] = moved[k] + Vec{small(rng), small(rng), small(rng)};
            break;
        default: // nothing at all
            break;
        }
        const dent::PanelLighting lighting(p.lattice, moved, p.shape);
        const dent::PanelVertexArrays arrays{
            p.rest.data(),    p.restNormals.data(), p.sides.data(), p.sides.size(), n,
            positions.data(), normals.data()};
        const std::size_t written = dent::placePanelVertices(
            p.lattice, map, moved, pass == 0 ? nullptr : &previous, lighting, arrays);
        if (pass % 4 == 3 && pass > 0) {
            EXPECT_EQ(written, 0u);
        }
        if (pass % 4 == 1) {
            EXPECT_LT(written, n / 2);
        }

        std::vector<Vec> wantPositions(n), wantNormals(n);
        const dent::PanelVertexMap unmapped; // every vertex sampled and lit the plain way
        dent::placePanelVertices(p.lattice, unmapped, moved, nullptr, lighting,
                                 {p.rest.data(), p.restNormals.data(), p.sides.data(),
                                  p.sides.size(), n, wantPositions.data(), wantNormals.data()});
        for (std::size_t i = 0; i < n; ++i) {
            const Vec plain = lighting.normal(p.lattice, p.rest[i], p.restNormals[i], p.sides[i]);
            ASSERT_EQ(std::memcmp(&plain, &wantNormals[i], sizeof plain), 0);
        }
        ASSERT_TRUE(sameBits(positions, wantPositions)) << "pass " << pass;
        ASSERT_TRUE(sameBits(normals, wantNormals)) << "pass " << pass;
        previous = moved;
    }
}

TEST(PlacePanelVertices, AMapGroupsEveryVertexUnderItsCell) {
    const Panel p = cutPanel();
    const dent::PanelVertexMap map =
        dent::mapPanelVertices(p.lattice, p.rest.data(), p.rest.size());
    ASSERT_EQ(map.cellStart.size(), p.lattice.sheet.size() + 2);
    EXPECT_EQ(map.cellStart.back(), p.rest.size());
    std::vector<int> seen(p.rest.size(), 0);
    for (std::size_t cell = 0; cell + 1 < map.cellStart.size(); ++cell)
        for (std::uint32_t v = map.cellStart[cell]; v < map.cellStart[cell + 1]; ++v) {
            ++seen[map.cellVertices[v]];
            EXPECT_EQ(map.samples[map.cellVertices[v]].index[0], cell);
        }
    for (const int s : seen)
        EXPECT_EQ(s, 1);
}

} // namespace
