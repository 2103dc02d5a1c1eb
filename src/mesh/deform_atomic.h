#pragma once

// The per-atomic driver of one hit: called by the host's atomic walk for
// every atomic of the struck vehicle with the hit's mesh::HitContext.

#include "game/host_functions.h"
#include "game/registry.h"

#include <cstdint>

namespace mesh {

// Most per-vehicle copies and vertices; MaxTotalVertices bounds all vehicles.
constexpr std::size_t kMaxMeshReferences = 64;
constexpr std::uint32_t kMaxVehicleVertices = 200000;

// game::atomics callback; `context` is a mesh::HitContext. Gives the atomic a
// private copy on its first dent, dents the copy and grows its bounds.
// Always returns `atomic` so that the walk goes on; never throws.
void* BW_CDECL deformAtomic(void* atomic, void* context);

// The frame's dent work, counted in mesh points and lattice points handled
// (never in time, so that a session plays the same everywhere). The first
// touches of the first two cars of a frame always run (unless earlier work
// still waits); a further car's start only while the frame's work is below
// MaxDentWorkPerFrame, and otherwise wait for a later frame, in the order
// they came. Outside beginFrameWork .. endFrameWork there is no limit.
void beginFrameWork();
void endFrameWork();
std::uint32_t frameWorkDone();

// Copies every hidden part variant that the game now draws (looked at when
// its car's damage record changed) and replays its dents, whatever the
// frame's work: a variant the game draws is never drawn undented.
void buildShownVariants(game::Registry& registry);

// The work earlier frames left, oldest first, while the frame's work stays
// below its budget: the first touches they carried, and the counts of the
// hidden panel variants that began to wait.
void runCarriedWork(game::Registry& registry);

// The geometry guard failures logged so far in this process (only the first
// 12 are logged); tests put it back to 0.
std::uint32_t geometryGuardReports();
void resetGeometryGuardReportsForTesting();

} // namespace mesh
