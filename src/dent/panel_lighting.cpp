#include "panel_lighting.h"

#include <cmath>
#include <cstddef>

namespace dent {
namespace {

Vec divided(Vec v, float s) {
    return Vec{v.x / s, v.y / s, v.z / s};
}

// Adds the gradient of the deformation over the rest triangle (i1, i2, i3)
// to its three sheet points, weighted by twice its rest area.
void accumulate(const PanelLattice& lattice, const std::vector<Vec>& positions,
                const PanelShape& shape, float creaseS,
                std::vector<PanelLighting::Gradient> (&sides)[2], std::size_t i1, std::size_t i2,
                std::size_t i3) {
    const Vec r1 = lattice.sheet[i1].rest;
    const Vec r2 = lattice.sheet[i2].rest;
    const Vec r3 = lattice.sheet[i3].rest;
    const float e1x = r2.x - r1.x;
    const float e1y = r2.y - r1.y;
    const float e2x = r3.x - r1.x;
    const float e2y = r3.y - r1.y;
    const float det = e1x * e2y - e1y * e2x;
    const float area = std::fabs(det);
    if (!(area >= 1e-12f)) return; // degenerate (or non-finite) rest triangle

    const float meanY = (r1.y + r2.y + r3.y) / 3.0f;
    std::vector<PanelLighting::Gradient>& list = sides[meanY * shape.sign > creaseS ? 1 : 0];

    const Vec q21 = positions[i2] - positions[i1];
    const Vec q31 = positions[i3] - positions[i1];
    const Vec dQdx = divided(q21 * e2y - q31 * e1y, det);
    const Vec dQdy = divided(q31 * e1x - q21 * e2x, det);
    const Vec addX = dQdx * area;
    const Vec addY = dQdy * area;
    for (const std::size_t i : {i1, i2, i3}) {
        PanelLighting::Gradient& g = list[i];
        g.dx = g.dx + addX;
        g.dy = g.dy + addY;
        g.weight += area;
    }
}

} // namespace

PanelLighting::PanelLighting(const PanelLattice& lattice, const std::vector<Vec>& positions,
                             const PanelShape& shape) {
    const std::size_t count = lattice.sheet.size();
    for (std::vector<Gradient>& list : sides)
        list.assign(count, Gradient{});

    const std::size_t columns = lattice.columnXs.size();
    const std::size_t rows = lattice.rowYs.size();
    if (columns < 2 || rows < 2) return;
    if (count < columns * rows || positions.size() < columns * rows) return;

    const float creaseS = shape.start + shape.length * shape.crease;
    for (std::size_t r = 1; r < rows; ++r) {
        for (std::size_t k = 1; k < columns; ++k) {
            const std::size_t i00 = (k - 1) + (r - 1) * columns;
            const std::size_t i01 = k + (r - 1) * columns;
            const std::size_t i11 = k + r * columns;
            const std::size_t i10 = (k - 1) + r * columns;
            accumulate(lattice, positions, shape, creaseS, sides, i00, i01, i11);
            accumulate(lattice, positions, shape, creaseS, sides, i00, i11, i10);
        }
    }
    for (std::vector<Gradient>& list : sides) {
        for (Gradient& g : list) {
            if (!(g.weight > 0.0f)) continue;
            const float inverse = 1.0f / g.weight;
            g.dx = g.dx * inverse;
            g.dy = g.dy * inverse;
        }
    }
}

PanelLighting::~PanelLighting() = default;

Vec PanelLighting::normal(const PanelLattice& lattice, Vec rest, Vec restNormal, int side) const {
    return normal(lattice.sample(rest), restNormal, side);
}

} // namespace dent
