// Panel work of one rebuild and one pass: cutting a 400-triangle bonnet-like
// mesh along the crease, lattice lines and cell diagonals, and the lighting
// of a folded lattice for 30,000 vertex normals.
#include "dent/fold_profile.h"
#include "dent/panel_lighting.h"
#include "dent/panel_split.h"

#include "grid_panel.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using dent::Vec;

// A gently domed bonnet, 1.4 wide and 1.3 long, as a 10 x 20 grid of quads.
struct Bonnet {
    dent::PanelShape shape{1.0f, 0.9f, 1.3f, 0.47f};
    dent::SpanFold span{};
    dent::PanelLattice lattice;
    std::vector<dent::PanelTriangle> triangles;
};

Bonnet bonnet() {
    Bonnet b;
    b.span.from = -0.7f;
    b.span.to = 0.7f;
    b.span.height = 0.55f;
    b.span.columns = 6;
    b.lattice.init(b.span, b.shape);
    bench::GridDesc grid;
    grid.across = 10;
    grid.along = 20;
    grid.x0 = -0.7f;
    grid.width = 1.4f;
    grid.y0 = 0.9f;
    grid.length = 1.3f;
    grid.grey = 180.0f;
    b.triangles = bench::gridTriangles(grid, [](float x, float y, Vec& position, Vec& normal) {
        position = {x, y, 0.6f - 0.08f * x * x - 0.03f * (y - 1.5f) * (y - 1.5f)};
        normal = dent::normalized({0.16f * x, 0.06f * (y - 1.5f), 1.0f});
    });
    return b;
}

void BM_CutBonnet(benchmark::State& state) {
    const Bonnet b = bonnet();
    std::size_t pieces = 0;
    std::vector<dent::PanelTriangle> all;
    all.reserve(b.triangles.size() * 5); // as the rebuild reserves
    for (auto _ : state) {
        all.clear();
        for (const dent::PanelTriangle& t : b.triangles) {
            const std::vector<dent::PanelTriangle> cut =
                dent::splitPanelLattice(t, b.shape, b.span, b.lattice);
            all.insert(all.end(), cut.begin(), cut.end());
        }
        pieces = all.size();
        benchmark::DoNotOptimize(all.data());
    }
    state.counters["triangles"] = double(b.triangles.size());
    state.counters["pieces"] = double(pieces);
}
BENCHMARK(BM_CutBonnet)->Unit(benchmark::kMicrosecond);

void BM_LightFoldedPanel(benchmark::State& state) {
    const Bonnet b = bonnet();
    const dent::FoldProfile f = dent::foldFor(b.shape.length, b.shape.crease, 0.25f);
    std::vector<Vec> positions;
    for (const dent::SheetPoint& s : b.lattice.sheet)
        positions.push_back(dent::foldPoint(s.rest, s.rest, b.shape, f));
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> x(-0.7f, 0.7f), y(0.9f, 2.2f);
    struct V {
        Vec rest, normal;
        int side;
    };
    std::vector<V> vertices(30000);
    const float creaseS = b.shape.start + b.shape.length * b.shape.crease;
    for (V& v : vertices) {
        v.rest = {x(rng), y(rng), 0.55f};
        v.normal = dent::normalized({0.1f * v.rest.x, 0.0f, 1.0f});
        v.side = v.rest.y > creaseS ? 1 : 0;
    }
    std::vector<Vec> out(vertices.size());
    for (auto _ : state) {
        const dent::PanelLighting lighting(b.lattice, positions, b.shape);
        for (std::size_t i = 0; i < vertices.size(); ++i)
            out[i] =
                lighting.normal(b.lattice, vertices[i].rest, vertices[i].normal, vertices[i].side);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_LightFoldedPanel)->Unit(benchmark::kMicrosecond);

} // namespace
