#pragma once

#include "api.h"
#include "panel_lattice.h"
#include "panel_lighting.h"
#include "vec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dent {

// Where each vertex of a rebuilt panel rests in its lattice, measured once at
// the panel's setup: its interpolation sample, and the vertices grouped by
// the lattice cell that holds them, so that a pass rebuilds only the cells a
// dent reached.
struct PanelVertexMap {
    std::vector<LatticeSample> samples;      // samples[i] = lattice.sample(rest[i])
    std::vector<std::uint32_t> cellStart;    // per cell (by its lowest sheet index) + 1
    std::vector<std::uint32_t> cellVertices; // vertex indices, cell by cell, ascending
};

// The map of `count` rest positions over `lattice`.
DENT_API PanelVertexMap mapPanelVertices(const PanelLattice& lattice, const Vec* rest,
                                         std::size_t count);

// One panel's vertex arrays as the panel pass reads and writes them. `sides`
// may be shorter than `count` (missing sides are 0); `restNormals` and
// `normals` are both null when the panel keeps its normals.
struct PanelVertexArrays {
    const Vec* rest;
    const Vec* restNormals;
    const std::int32_t* sides;
    std::size_t sideCount;
    std::size_t count;
    Vec* positions;
    Vec* normals;
};

// Places the panel's vertices on the deformed lattice `moved` (one position
// per sheet point): position i = rest i + the sampled sheet points' moves,
// normal i = lighting.normal of its sample. With `previous` (the sheet
// positions the arrays were last placed from), only the vertices whose
// position or normal depends on a sheet point that differs from `previous`
// are written; the others already hold exactly what they would be given.
// Without it every vertex is written. Returns the vertices written.
DENT_API std::size_t placePanelVertices(const PanelLattice& lattice, const PanelVertexMap& map,
                                        const std::vector<Vec>& moved,
                                        const std::vector<Vec>* previous,
                                        const PanelLighting& lighting,
                                        const PanelVertexArrays& arrays);

} // namespace dent
