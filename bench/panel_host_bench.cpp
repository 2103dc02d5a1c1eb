// Core work of a bonnet's panel setup and of its panel passes, for the bonnet
// of the substitute host's car (a 14 x 10 grid of quads, 1.6 wide and 1.2
// long): the rebuild's lattice, cutting, vertex writing and vertex map; the
// count a hidden variant costs; a first folding pass that places every
// vertex, and a later side dent that places only the cells it moved. The
// host calls themselves are counted by scripts/frame-cost.sh, not timed here.
#include "dent/displace.h"
#include "dent/fold_profile.h"
#include "dent/panel_lighting.h"
#include "dent/panel_split.h"
#include "dent/panel_vertices.h"

#include "grid_panel.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using dent::Vec;

struct Panel {
    dent::PanelShape shape{1.0f, 0.0f, 1.2f,
                           0.47f}; // crease off the grid lines, as varied cars have it
    dent::SpanFold span{};
    dent::PanelLattice lattice;
    std::vector<dent::PanelTriangle> source;
};

Panel proceduralBonnet() {
    Panel p;
    p.span.from = -0.8f;
    p.span.to = 0.8f;
    p.span.height = 0.0f;
    p.span.columns = 6;
    p.lattice.init(p.span, p.shape);
    bench::GridDesc grid;
    grid.across = 14;
    grid.along = 10;
    grid.x0 = -0.8f;
    grid.width = 1.6f;
    grid.length = 1.2f;
    p.source = bench::gridTriangles(grid, [](float x, float y, Vec& position, Vec& normal) {
        position = {x, y, 0.0f};
        normal = {0.0f, 0.0f, 1.0f};
    });
    return p;
}

std::vector<dent::PanelTriangle> cut(const Panel& p) {
    std::vector<dent::PanelTriangle> all;
    all.reserve(p.source.size() * 5); // as the rebuild reserves
    dent::PanelCutter cutter(p.shape, p.span, p.lattice);
    for (const dent::PanelTriangle& t : p.source)
        cutter.cut(t, all);
    return all;
}

// Rounding halves away from zero and clamping, as the rebuild stores colours.
std::uint8_t colourByte(float value) {
    return std::uint8_t(std::clamp(std::round(value), 0.0f, 255.0f));
}

// The panel setup of a first touch: the lattice, the cut, the writing of 3
// vertices per piece (position, normalised normal, colour bytes, one texture
// set, side) and the map of every vertex into the lattice.
void BM_PanelSetup(benchmark::State& state) {
    Panel p = proceduralBonnet();
    std::size_t n = 0;
    for (auto _ : state) {
        p.lattice.init(p.span, p.shape);
        const std::vector<dent::PanelTriangle> pieces = cut(p);
        n = pieces.size();
        std::vector<Vec> positions(3 * n), normals(3 * n);
        std::vector<std::uint8_t> colours(12 * n);
        std::vector<float> uv(6 * n);
        std::vector<std::int32_t> sides;
        sides.reserve(3 * n);
        for (std::size_t k = 0; k < n; ++k)
            for (int j = 0; j < 3; ++j) {
                const dent::PanelVertex& c = pieces[k].vertices[j];
                const std::size_t v = 3 * k + std::size_t(j);
                positions[v] = c.position;
                normals[v] = dent::normalized(c.normal);
                for (int b = 0; b < 4; ++b)
                    colours[4 * v + b] = colourByte(c.colour[b]);
                uv[2 * v] = c.uv[0][0];
                uv[2 * v + 1] = c.uv[0][1];
                sides.push_back(c.side);
            }
        const dent::PanelVertexMap map =
            dent::mapPanelVertices(p.lattice, positions.data(), positions.size());
        benchmark::DoNotOptimize(positions.data());
        benchmark::DoNotOptimize(colours.data());
        benchmark::DoNotOptimize(map.samples.data());
    }
    state.counters["sourceTriangles"] = double(p.source.size());
    state.counters["pieces"] = double(n);
}
BENCHMARK(BM_PanelSetup)->Unit(benchmark::kMicrosecond);

// What a hidden panel variant costs while it waits: its pieces counted from
// the corners' positions, without cutting anything else.
void BM_PanelHiddenCount(benchmark::State& state) {
    const Panel p = proceduralBonnet();
    std::size_t pieces = 0;
    for (auto _ : state) {
        dent::PanelCutter cutter(p.shape, p.span, p.lattice);
        pieces = 0;
        for (const dent::PanelTriangle& t : p.source)
            pieces += cutter.count(t.vertices[0].position, t.vertices[1].position,
                                   t.vertices[2].position);
        benchmark::DoNotOptimize(pieces);
    }
    state.counters["pieces"] = double(pieces);
}
BENCHMARK(BM_PanelHiddenCount)->Unit(benchmark::kMicrosecond);

// A rebuilt bonnet with its vertices, as the panel pass finds it.
struct Rebuilt {
    Panel p = proceduralBonnet();
    std::vector<Vec> rest, restNormals;
    std::vector<std::int32_t> sides;
    dent::PanelVertexMap map;
    Rebuilt() {
        for (const dent::PanelTriangle& t : cut(p))
            for (const dent::PanelVertex& v : t.vertices) {
                rest.push_back(v.position);
                restNormals.push_back(dent::normalized(v.normal));
                sides.push_back(v.side);
            }
        map = dent::mapPanelVertices(p.lattice, rest.data(), rest.size());
    }
};

// The sheet points of one pass: a frontal push folds the panel, other
// pushes dent its lattice.
std::vector<Vec> movedSheet(Rebuilt& r, Vec q, Vec d, float depth, float radius, bool fold) {
    const float maxTotal = 1.05f, power = 0.65f;
    const float reach = dent::greatestFalloff(r.rest.data(), r.rest.size(), q, radius, power);
    const float compression =
        fold ? std::min((depth - 0.06f) * reach, 0.4f * r.p.shape.length) : 0.0f;
    const dent::FoldProfile f = dent::foldFor(r.p.shape.length, r.p.shape.crease, compression);
    std::vector<Vec> moved;
    moved.reserve(r.p.lattice.sheet.size());
    for (const dent::SheetPoint& s : r.p.lattice.sheet) {
        const Vec w =
            dent::displaceImpact(s.rest, s.current, q, d, depth, radius, 0, 0, maxTotal, power);
        moved.push_back(dent::foldPoint(s.rest, w, r.p.shape, f));
    }
    r.p.lattice.keepOrdered(moved);
    return moved;
}

// A panel's first pass: a frontal push at its front edge folds it, and every
// vertex is placed and lit.
void BM_PanelPassFirstFold(benchmark::State& state) {
    Rebuilt r;
    std::vector<Vec> out(r.rest.size()), outNormals(r.rest.size());
    const dent::PanelVertexArrays arrays{r.rest.data(),    r.restNormals.data(), r.sides.data(),
                                         r.sides.size(),   r.rest.size(),        out.data(),
                                         outNormals.data()};
    for (auto _ : state) {
        const std::vector<Vec> moved =
            movedSheet(r, {0.0f, 1.2f, -0.05f}, {0.0f, -1.0f, 0.0f}, 0.25f, 0.8f, true);
        const dent::PanelLighting lighting(r.p.lattice, moved, r.p.shape);
        benchmark::DoNotOptimize(
            dent::placePanelVertices(r.p.lattice, r.map, moved, nullptr, lighting, arrays));
        benchmark::DoNotOptimize(outNormals.data());
    }
    state.counters["vertices"] = double(r.rest.size());
    state.counters["sheetPoints"] = double(r.p.lattice.sheet.size());
}
BENCHMARK(BM_PanelPassFirstFold)->Unit(benchmark::kMicrosecond);

// A later pass: a small push at the panel's side corner moves a few lattice
// cells, and only their vertices are placed again.
void BM_PanelPassLaterSideDent(benchmark::State& state) {
    Rebuilt r;
    std::vector<Vec> out(r.rest), outNormals(r.restNormals);
    const dent::PanelVertexArrays arrays{r.rest.data(),    r.restNormals.data(), r.sides.data(),
                                         r.sides.size(),   r.rest.size(),        out.data(),
                                         outNormals.data()};
    const std::vector<Vec> previous = r.p.lattice.points;
    std::size_t written = 0;
    for (auto _ : state) {
        const std::vector<Vec> moved =
            movedSheet(r, {0.85f, 1.0f, 0.0f}, {-1.0f, 0.0f, 0.0f}, 0.1f, 0.35f, false);
        const dent::PanelLighting lighting(r.p.lattice, moved, r.p.shape);
        written = dent::placePanelVertices(r.p.lattice, r.map, moved, &previous, lighting, arrays);
        r.p.lattice.points = previous; // the same pass again
        benchmark::DoNotOptimize(outNormals.data());
    }
    state.counters["vertices"] = double(r.rest.size());
    state.counters["written"] = double(written);
}
BENCHMARK(BM_PanelPassLaterSideDent)->Unit(benchmark::kMicrosecond);

} // namespace
