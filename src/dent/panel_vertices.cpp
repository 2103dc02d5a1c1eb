#include "panel_vertices.h"

#include <algorithm>
#include <cstring>

namespace dent {
namespace {

bool sameBits(Vec a, Vec b) {
    return std::memcmp(&a, &b, sizeof(Vec)) == 0;
}

void placeOne(const PanelLattice& lattice, const LatticeSample& at,
              const std::vector<Vec>& moved, const PanelLighting& lighting,
              const PanelVertexArrays& a, std::size_t i, bool position, bool normal) {
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

} // namespace

PanelVertexMap mapPanelVertices(const PanelLattice& lattice, const Vec* rest, std::size_t count) {
    PanelVertexMap map;
    map.samples.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        map.samples.push_back(lattice.sample(rest[i]));
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
    const bool full = previous == nullptr || columns < 2 || rows < 2 ||
                      previous->size() != moved.size() || moved.size() < points ||
                      lattice.sheet.size() < points || map.samples.size() < a.count ||
                      map.cellStart.size() != lattice.sheet.size() + 2;
    if (full) {
        for (std::size_t i = 0; i < a.count; ++i) {
            const LatticeSample at =
                i < map.samples.size() ? map.samples[i] : lattice.sample(a.rest[i]);
            placeOne(lattice, at, moved, lighting, a, i, true, true);
        }
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
                placeOne(lattice, map.samples[index], moved, lighting, a, index, move, relight);
                ++written;
            }
        }
    }
    return written;
}

} // namespace dent
