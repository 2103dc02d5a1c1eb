#pragma once

// An atomic's private copy of its geometry: made at its first dent (the
// source keeps a reference), dented in place, its bounds grown.

#include "dent/vec.h"
#include "game/mesh_reference.h"
#include "game/registry.h"
#include "mesh/hit_context.h"

#include <cstdint>

namespace mesh {

// First dent of this atomic: copy its geometry (`n` source vertices), take a
// reference on the source and put the copy on the atomic. Null when anything
// refuses; the atomic then keeps its geometry and nothing is held.
game::MeshReference* attachCopy(void* atomic, void* geometry, game::TrackedVehicle& record,
                                std::int32_t n);

// Moves the copy's vertices by one dent at `q` along `d` (the hit's depth,
// radius and serial are in `hit`) and grows the bounds the atomic is drawn
// with.
void applyDent(void* atomic, game::MeshReference& ref, dent::Vec q, dent::Vec d, HitContext& hit);

// The hit's context for one waiting dent, replayed outside its hit.
HitContext replayContext(game::TrackedVehicle& record, const game::AtomicDent& hitDent);

} // namespace mesh
