// dentVertices over a 30,000-vertex mesh: one dent reaching about a tenth of
// the vertices, one reaching all of them.
#include "dent/displace.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

using dent::Vec;

constexpr std::size_t kVertices = 30000;

// Points on the surface of a car-sized box (4.5 x 2 x 1.5 world units).
std::vector<Vec> carLikeMesh() {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<Vec> points(kVertices);
    for (std::size_t i = 0; i < kVertices; ++i) {
        Vec p{u(rng) * 2.25f, u(rng) * 1.0f, u(rng) * 0.75f};
        switch (i % 3) { // push onto one of the faces
        case 0:
            p.x = p.x < 0 ? -2.25f : 2.25f;
            break;
        case 1:
            p.y = p.y < 0 ? -1.0f : 1.0f;
            break;
        default:
            p.z = p.z < 0 ? -0.75f : 0.75f;
            break;
        }
        points[i] = p;
    }
    return points;
}

// Radius whose bowl around `contact` holds `share` of the points.
float radiusReaching(const std::vector<Vec>& points, Vec contact, float share) {
    std::vector<float> d;
    d.reserve(points.size());
    for (const Vec& p : points)
        d.push_back(dent::length(p - contact));
    const std::size_t k = std::min(points.size() - 1, std::size_t(share * float(points.size())));
    std::nth_element(d.begin(), d.begin() + std::ptrdiff_t(k), d.end());
    return d[k];
}

void runDent(benchmark::State& state, float share) {
    const std::vector<Vec> rest = carLikeMesh();
    std::vector<Vec> current = rest;
    const Vec contact{0.0f, 1.0f, 0.2f};
    const Vec direction{0.0f, -1.0f, 0.0f};
    const float radius = share >= 1.0f ? 100.0f : radiusReaching(rest, contact, share);
    for (auto _ : state) {
        dent::dentVertices(rest.data(), current.data(), current.size(), contact, direction, 0.4f,
                           radius, 0.0f, 0.0f, 1.05f, 0.65f);
        benchmark::DoNotOptimize(current.data());
        benchmark::ClobberMemory();
    }
    state.counters["per_vertex"] =
        benchmark::Counter(double(kVertices), benchmark::Counter::kIsIterationInvariantRate |
                                                  benchmark::Counter::kInvert);
}

void BM_DentVertices_TenthReach(benchmark::State& state) {
    runDent(state, 0.1f);
}
void BM_DentVertices_FullReach(benchmark::State& state) {
    runDent(state, 1.0f);
}

BENCHMARK(BM_DentVertices_TenthReach)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DentVertices_FullReach)->Unit(benchmark::kMillisecond);

} // namespace
