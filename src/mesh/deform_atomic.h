#pragma once

// The per-atomic driver of one hit: called by the host's atomic walk for
// every atomic of the struck vehicle with the hit's mesh::HitContext.

#include "game/host_functions.h"
#include "game/registry.h"

#include <cstdint>

namespace mesh {

// game::atomics callback; `context` is a mesh::HitContext. Gives the atomic a
// private copy on its first dent, dents the copy and grows its bounds.
// Always returns `atomic` so that the walk goes on; never throws.
void* BW_CDECL deformAtomic(void* atomic, void* context);

// The work earlier frames left, oldest first, while the frame's work stays
// below its budget: the first touches they carried, and the counts of the
// hidden panel variants that began to wait.
void runCarriedWork(game::Registry& registry);

// The geometry guard failures logged so far in this process (only the first
// 12 are logged); tests put it back to 0.
std::uint32_t geometryGuardReports();
void resetGeometryGuardReportsForTesting();

} // namespace mesh
