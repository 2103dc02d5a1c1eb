#pragma once

// The deformation of a folding panel: pushes along its length fold it like a
// roof along its crease, other pushes dent its lattice, and every vertex and
// normal is rebuilt from the lattice.

#include "dent/vec.h"
#include "game/mesh_reference.h"
#include "mesh/hit_context.h"

#include <cstdint>

namespace mesh {

// One dent on the panel of `ref` (its panel state's kind is not 0), in the
// atomic's frame: contact `q`, push direction `d`, the hit's depth and radius
// from `hit` and the part of this dent already applied (previousDepth,
// previousRadius; 0, 0 for a new dent, which also starts the episode's fold
// amount from 0). Rewrites the `count` positions (count == ref.rest.size())
// and, when `normals` is not null and rest normals were kept, the normals.
// Adds 1 to hit.panels when the panel folds. When it throws (out of memory),
// the panel state, the positions and the normals are as they were. After the
// panel's first pass, only the vertices of the lattice cells the dent moved
// are written (the others already hold their place). Returns the work done:
// the sheet points moved and the vertices written.
std::uint32_t panelPass(game::MeshReference& ref, dent::Vec* positions, dent::Vec* normals,
                        std::size_t count, dent::Vec q, dent::Vec d, HitContext& hit,
                        bool newEpisode, float previousDepth, float previousRadius);

} // namespace mesh
