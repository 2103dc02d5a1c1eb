// Core work of a bonnet's first touch and of one fold pass, for the bonnet of
// the substitute host's car (a 14 x 10 grid of quads, 1.6 wide and 1.2 long):
// the rebuild's lattice set-up, cutting and vertex writing, and the pass's
// sheet-point dents, fold, ordering, lighting and per-vertex interpolation.
// The host calls themselves are counted by the linux32 tests, not timed here.
#include "dent/displace.h"
#include "dent/fold_profile.h"
#include "dent/panel_lighting.h"
#include "dent/panel_split.h"

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
    for (const dent::PanelTriangle& t : p.source) {
        const std::vector<dent::PanelTriangle> pieces =
            dent::splitPanelLattice(t, p.shape, p.span, p.lattice);
        all.insert(all.end(), pieces.begin(), pieces.end());
    }
    return all;
}

// Lattice set-up, cutting and the writing of 3 vertices per piece (position,
// normalised normal, rounded colour bytes, one texture set, side).
void BM_BonnetFirstTouch(benchmark::State& state) {
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
                    colours[4 * v + b] =
                        std::uint8_t(std::clamp(std::round(c.colour[b]), 0.0f, 255.0f));
                uv[2 * v] = c.uv[0][0];
                uv[2 * v + 1] = c.uv[0][1];
                sides.push_back(c.side);
            }
        benchmark::DoNotOptimize(positions.data());
        benchmark::DoNotOptimize(colours.data());
        benchmark::DoNotOptimize(sides.data());
    }
    state.counters["sourceTriangles"] = double(p.source.size());
    state.counters["pieces"] = double(n);
}
BENCHMARK(BM_BonnetFirstTouch)->Unit(benchmark::kMicrosecond);

// One folding pass over the rebuilt bonnet: a frontal push at its front edge.
void BM_BonnetFoldPass(benchmark::State& state) {
    Panel p = proceduralBonnet();
    const std::vector<dent::PanelTriangle> pieces = cut(p);
    std::vector<Vec> rest, restNormals;
    std::vector<int> sides;
    for (const dent::PanelTriangle& t : pieces)
        for (const dent::PanelVertex& v : t.vertices) {
            rest.push_back(v.position);
            restNormals.push_back(v.normal);
            sides.push_back(v.side);
        }
    std::vector<Vec> out(rest.size()), outNormals(rest.size());
    const Vec q{0.0f, 1.2f, -0.05f}, d{0.0f, -1.0f, 0.0f};
    const float depth = 0.25f, radius = 0.8f, maxTotal = 1.05f, power = 0.65f;
    for (auto _ : state) {
        float reach = 0.0f;
        for (const Vec& r : rest)
            reach = std::max(reach, dent::falloff(dent::length(r - q), radius, power));
        const float compression = std::min((depth - 0.06f) * reach, 0.4f * p.shape.length);
        const dent::FoldProfile limit =
            dent::limitedFold(p.shape.length, p.shape.crease, compression, 0.55f);
        const dent::FoldProfile f =
            dent::foldFor(p.shape.length, p.shape.crease, limit.compression);
        std::vector<Vec> moved;
        moved.reserve(p.lattice.sheet.size());
        for (dent::SheetPoint& s : p.lattice.sheet) {
            const Vec r = s.rest;
            const Vec r1 = dent::displaceImpact(r, r, q, d, depth, radius, 0, 0, maxTotal, power);
            const Vec e{r.x, p.shape.start, r.z};
            const Vec r2 = dent::displaceImpact(e, e, q, d, depth, radius, 0, 0, maxTotal, power);
            Vec w = s.current;
            w.x += r1.x - r.x;
            w.z += r1.z - r.z;
            w.y += r2.y - e.y;
            moved.push_back(dent::foldPoint(r, w, p.shape, f));
        }
        p.lattice.keepOrdered(moved);
        const dent::PanelLighting lighting(p.lattice, moved, p.shape);
        for (std::size_t i = 0; i < rest.size(); ++i) {
            const dent::LatticeSample at = p.lattice.sample(rest[i]);
            Vec v = rest[i];
            for (int k = 0; k < 3; ++k)
                v = v + (moved[at.index[k]] - p.lattice.sheet[at.index[k]].rest) * at.weight[k];
            out[i] = v;
            outNormals[i] = lighting.normal(p.lattice, rest[i], restNormals[i], sides[i]);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(outNormals.data());
    }
    state.counters["vertices"] = double(rest.size());
    state.counters["sheetPoints"] = double(p.lattice.sheet.size());
}
BENCHMARK(BM_BonnetFoldPass)->Unit(benchmark::kMicrosecond);

} // namespace
