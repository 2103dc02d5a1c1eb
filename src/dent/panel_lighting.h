#pragma once

#include "api.h"
#include "panel_lattice.h"
#include "vec.h"

#include <cmath>
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
    // already known: a panel samples each vertex once, at its setup. Inline:
    // a pass calls it for thousands of vertices.
    Vec normal(const LatticeSample& at, Vec restNormal, int side) const;

    // The rest normal turned by the blended gradients `g` (along x) and `h`
    // (along y) of the sheet points that cover a vertex by `covered` of its
    // weight: the second half of normal().
    static Vec turnedNormal(Vec g, Vec h, float covered, Vec restNormal);

    // One gradient per sheet point, per crease side: [0] near, [1] far.
    std::vector<Gradient> sides[2];
};

inline Vec PanelLighting::normal(const LatticeSample& s, Vec restNormal, int side) const {
    const std::vector<Gradient>& list = sides[side != 0 ? 1 : 0];
    Vec g{0.0f, 0.0f, 0.0f};
    Vec h{0.0f, 0.0f, 0.0f};
    float covered = 0.0f;
    for (int k = 0; k < 3; ++k) {
        if (s.index[k] >= list.size()) continue;
        const Gradient& gradient = list[s.index[k]];
        if (!(gradient.weight > 0.0f)) continue;
        const float w = s.weight[k];
        g = g + gradient.dx * w;
        h = h + gradient.dy * w;
        covered += w;
    }
    return turnedNormal(g, h, covered, restNormal);
}

inline Vec PanelLighting::turnedNormal(Vec g, Vec h, float covered, Vec restNormal) {
    if (covered < 0.999f) return restNormal;

    const float det = g.x * h.y - g.y * h.x;
    if (!std::isfinite(det) || det < 0.000001f) return restNormal;

    // Inverse transpose of [[g.x, h.x, 0], [g.y, h.y, 0], [g.z, h.z, 1]]
    // applied to the rest normal: it stays perpendicular to the surface.
    const Vec n = restNormal;
    const Vec m{(h.y * n.x - g.y * n.y + n.z * (g.y * h.z - g.z * h.y)) / det,
                (g.x * n.y - h.x * n.x + n.z * (g.z * h.x - g.x * h.z)) / det, n.z};
    if (!isFinite(n.z) || !isFinite(m.x) || !isFinite(m.y)) return restNormal;
    // normalized(m), sharing the one square root with the length test.
    const float l = length(m);
    if (!(l > 0.00000001f)) return restNormal;
    if (!(l > 0.00001f)) return Vec{0.0f, 0.0f, 0.0f};
    return m * (1.0f / l);
}

} // namespace dent
