#include "panel_vertices.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#if defined(__GNUC__)
#define DENT_VERTEX_INLINE inline __attribute__((always_inline))
#else
#define DENT_VERTEX_INLINE inline
#endif

namespace dent {
namespace {

bool sameBits(Vec a, Vec b) {
    return std::memcmp(&a, &b, sizeof(Vec)) == 0;
}

void placeOne(const PanelLattice& lattice, const LatticeSample& at, const std::vector<Vec>& moved,
              const PanelLighting& lighting, const PanelVertexArrays& a, std::size_t i,
              bool position, bool normal) {
    const Vec p = a.rest[i];
    if (position) {
        Vec out = p;
        for (int k = 0; k < 3; ++k) {
            const std::uint32_t index = at.index[k];
            // A lattice that does not cover its own index moves nothing.
            if (index >= moved.size() || index >= lattice.sheet.size()) continue;
            out = out + (moved[index] - lattice.sheet[index].rest) * at.weight[k];
        }
        a.positions[i] = out;
    }
    if (normal && a.normals != nullptr) {
        const int side = i < a.sideCount ? a.sides[i] : 0;
        a.normals[i] = lighting.normal(at, a.restNormals[i], side);
    }
}

DENT_VERTEX_INLINE __m128 lanes(const Vec& v) {
    return _mm_set_ps(0.0f, v.z, v.y, v.x);
}

// A Vec that another float follows inside its record (a sheet point's rest
// position, a gradient's two rates): one load; the fourth lane is unused.
DENT_VERTEX_INLINE __m128 lanesInRecord(const Vec& v) {
    return _mm_loadu_ps(&v.x);
}
static_assert(offsetof(SheetPoint, rest) + 4 * sizeof(float) <= sizeof(SheetPoint),
              "a float follows a sheet point's rest position");
static_assert(offsetof(PanelLighting::Gradient, dy) + 4 * sizeof(float) <=
                  sizeof(PanelLighting::Gradient),
              "a float follows each rate of a gradient");

DENT_VERTEX_INLINE void store(Vec& v, __m128 l) {
    _mm_store_ss(&v.x, l);
    _mm_store_ss(&v.y, _mm_shuffle_ps(l, l, _MM_SHUFFLE(1, 1, 1, 1)));
    _mm_store_ss(&v.z, _mm_shuffle_ps(l, l, _MM_SHUFFLE(2, 2, 2, 2)));
}

// placeOne<true> in SSE2 lanes, for a map made over this lattice: every
// lane repeats the scalar code's float operations on its component in the
// same order, so the bits are the same; what mixes components stays scalar.
DENT_VERTEX_INLINE void placeMapped(const PanelLattice& lattice, const LatticeSample& at,
                                    const std::vector<Vec>& moved, const PanelLighting& lighting,
                                    const PanelVertexArrays& a, std::size_t i, bool position,
                                    bool normal) {
    if (position) {
        __m128 out = lanes(a.rest[i]);
        for (int k = 0; k < 3; ++k) {
            const std::uint32_t index = at.index[k];
            const __m128 d =
                _mm_sub_ps(lanes(moved[index]), lanesInRecord(lattice.sheet[index].rest));
            out = _mm_add_ps(out, _mm_mul_ps(d, _mm_set1_ps(at.weight[k])));
        }
        store(a.positions[i], out);
    }
    if (!normal || a.normals == nullptr) return;
    const int side = i < a.sideCount ? a.sides[i] : 0;
    const PanelLighting::Gradient* list = lighting.sides[side != 0 ? 1 : 0].data();
    const Vec n = a.restNormals[i];
    __m128 g = _mm_setzero_ps();
    __m128 h = _mm_setzero_ps();
    float covered = 0.0f;
    for (int k = 0; k < 3; ++k) {
        const PanelLighting::Gradient& gradient = list[at.index[k]];
        if (!(gradient.weight > 0.0f)) continue;
        const float w = at.weight[k];
        const __m128 lw = _mm_set1_ps(w);
        g = _mm_add_ps(g, _mm_mul_ps(lanesInRecord(gradient.dx), lw));
        h = _mm_add_ps(h, _mm_mul_ps(lanesInRecord(gradient.dy), lw));
        covered += w;
    }
    Vec gv, hv;
    store(gv, g);
    store(hv, h);
    a.normals[i] = PanelLighting::turnedNormal(gv, hv, covered, n);
}

} // namespace

PanelVertexMap mapPanelVertices(const PanelLattice& lattice, const Vec* rest, std::size_t count) {
    PanelVertexMap map;
    map.samples.reserve(count);
    // A rebuilt panel's vertices come three to a piece and pieces in order:
    // most lie in the cell of the vertex before.
    std::size_t near[2] = {0, 0};
    const bool ascending = lattice.linesAscend();
    for (std::size_t i = 0; i < count; ++i)
        map.samples.push_back(ascending ? lattice.sampleNear(rest[i], near)
                                        : lattice.sample(rest[i]));
    // Counting sort by cell: each cell's vertices stay in ascending order.
    const std::size_t cells = lattice.sheet.size() + 1;
    map.cellStart.assign(cells + 1, 0);
    for (const LatticeSample& s : map.samples)
        ++map.cellStart[std::min<std::size_t>(s.index[0], cells - 1) + 1];
    for (std::size_t c = 1; c <= cells; ++c)
        map.cellStart[c] += map.cellStart[c - 1];
    map.cellVertices.resize(count);
    std::vector<std::uint32_t> next(map.cellStart.begin(), map.cellStart.end() - 1);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t c = std::min<std::size_t>(map.samples[i].index[0], cells - 1);
        map.cellVertices[next[c]++] = std::uint32_t(i);
    }
    return map;
}

std::size_t placePanelVertices(const PanelLattice& lattice, const PanelVertexMap& map,
                               const std::vector<Vec>& moved, const std::vector<Vec>* previous,
                               const PanelLighting& lighting, const PanelVertexArrays& a) {
    const std::size_t columns = lattice.columnXs.size();
    const std::size_t rows = lattice.rowYs.size();
    const std::size_t points = columns * rows;
    // A map made over this lattice samples every vertex inside it.
    const bool mapped = columns >= 2 && rows >= 2 && moved.size() >= points &&
                        lattice.sheet.size() >= points && map.samples.size() >= a.count &&
                        map.cellStart.size() == lattice.sheet.size() + 2;
    if (!mapped) {
        for (std::size_t i = 0; i < a.count; ++i) {
            const LatticeSample at =
                i < map.samples.size() ? map.samples[i] : lattice.sample(a.rest[i]);
            placeOne(lattice, at, moved, lighting, a, i, true, true);
        }
        return a.count;
    }
    if (previous == nullptr || previous->size() != moved.size()) {
        for (std::size_t i = 0; i < a.count; ++i)
            placeMapped(lattice, map.samples[i], moved, lighting, a, i, true, true);
        return a.count;
    }

    // A cell's vertices move when one of its four corners moved; their normals
    // change when the gradient at a corner did, which takes a moved point in
    // one of the cells around that corner: the cell or one of its eight
    // neighbours.
    const std::size_t cellColumns = columns - 1;
    const std::size_t cellRows = rows - 1;
    std::vector<unsigned char> moves(cellColumns * cellRows, 0);
    bool any = false;
    for (std::size_t j = 0; j < cellRows; ++j) {
        for (std::size_t i = 0; i < cellColumns; ++i) {
            const std::size_t base = j * columns + i;
            const std::size_t corners[4] = {base, base + 1, base + columns, base + columns + 1};
            for (const std::size_t k : corners) {
                if (!sameBits(moved[k], (*previous)[k])) {
                    moves[j * cellColumns + i] = 1;
                    any = true;
                    break;
                }
            }
        }
    }
    if (!any) return 0;

    std::size_t written = 0;
    for (std::size_t j = 0; j < cellRows; ++j) {
        for (std::size_t i = 0; i < cellColumns; ++i) {
            bool relight = false;
            for (std::size_t nj = j == 0 ? 0 : j - 1; nj <= j + 1 && nj < cellRows; ++nj)
                for (std::size_t ni = i == 0 ? 0 : i - 1; ni <= i + 1 && ni < cellColumns; ++ni)
                    relight = relight || moves[nj * cellColumns + ni] != 0;
            const bool move = moves[j * cellColumns + i] != 0;
            if (!move && !relight) continue;
            const std::size_t cell = j * columns + i;
            for (std::uint32_t v = map.cellStart[cell]; v < map.cellStart[cell + 1]; ++v) {
                const std::size_t index = map.cellVertices[v];
                if (index >= a.count) continue;
                placeMapped(lattice, map.samples[index], moved, lighting, a, index, move, relight);
                ++written;
            }
        }
    }
    return written;
}

} // namespace dent
