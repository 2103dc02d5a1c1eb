#pragma once

#include "api.h"
#include "panel_lattice.h"
#include "vec.h"

#include <vector>

namespace dent {

// Gradients of a deformed panel lattice against its flat rest state, kept
// apart on the two sides of the crease so that the crease stays a sharp edge
// in the lighting. Lives for one panel pass.
class PanelLighting {
  public:
    struct Gradient {
        Vec dx;       // change of the deformed position per unit of rest x
        Vec dy;       // change of the deformed position per unit of rest y
        float weight; // twice the rest area of the triangles that contributed
    };
    static_assert(sizeof(Gradient) == 7 * sizeof(float), "Gradient is seven packed floats");

    // `positions` holds one deformed position per sheet point of `lattice`.
    // When it or the lattice's sheet is shorter than the grid, no gradient is
    // measured and every normal() keeps its rest normal.
    DENT_API PanelLighting(const PanelLattice& lattice, const std::vector<Vec>& positions,
                           const PanelShape& shape);
    DENT_API ~PanelLighting();
    PanelLighting(const PanelLighting&) = default;
    PanelLighting& operator=(const PanelLighting&) = default;
    PanelLighting(PanelLighting&&) = default;
    PanelLighting& operator=(PanelLighting&&) = default;

    // The normal of a vertex at `rest` with `restNormal`, on crease `side`
    // (0 near, anything else far), turned with the interpolated deformation.
    // The rest normal comes back unchanged where the side's gradients do not
    // cover the vertex, the patch is folded over or degenerate, or the
    // result is not usable.
    DENT_API Vec normal(const PanelLattice& lattice, Vec rest, Vec restNormal, int side) const;

    // The same for a vertex whose lattice sample (lattice.sample(rest)) is
    // already known: a panel samples each vertex once, at its setup.
    DENT_API Vec normal(const LatticeSample& at, Vec restNormal, int side) const;

    // One gradient per sheet point, per crease side: [0] near, [1] far.
    std::vector<Gradient> sides[2];
};

} // namespace dent
