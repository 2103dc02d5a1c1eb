#pragma once

// The deformation of a folding panel: pushes along its length fold it like a
// roof along its crease, other pushes dent its lattice, and every vertex and
// normal is rebuilt from the lattice.

#include "dent/vec.h"
#include "game/hit_context.h"
#include "game/mesh_reference.h"

#include <cstdint>

namespace mesh {

// One dent on the panel of `ref` (its panel state's kind is not 0), in the
// atomic's frame: contact `q`, push direction `d`, the hit's depth and radius
// from `hit` and the part of this dent already applied (previousDepth,
// previousRadius; 0, 0 for a new dent, with episodeAmount already reset).
// Rewrites the `count` positions (count == ref.rest.size()) and, when `normals`
// is not null and rest normals were kept, the normals. Adds 1 to hit.panels
// when the panel folds.
void panelPass(game::MeshReference& ref, dent::Vec* positions, dent::Vec* normals,
               std::size_t count, dent::Vec q, dent::Vec d, game::HitContext& hit,
               float previousDepth, float previousRadius);

} // namespace mesh
