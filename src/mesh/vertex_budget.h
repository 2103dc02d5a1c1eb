#pragma once

// The vertices the private copies hold, against each vehicle's limit and
// MaxTotalVertices. A hidden bonnet or boot that waits holds its rebuilt
// panel's vertices, worked out when a budget answer could depend on them
// (or when its turn comes in a later frame).

#include "game/registry.h"

#include <cstddef>
#include <cstdint>

namespace mesh {

// Most per-vehicle copies and vertices; MaxTotalVertices bounds all vehicles.
constexpr std::size_t kMaxMeshReferences = 64;
constexpr std::uint32_t kMaxVehicleVertices = 200000;
// Most vertices of one copy; a rebuilt panel has at most as many (10000
// pieces of three).
constexpr std::int32_t kMaxCopyVertices = 30000;

// `add` more vertices fit the vehicle's limit and MaxTotalVertices however
// large the hidden panels not yet worked out turn out (`extra` more of them).
bool fitsAnyway(const game::TrackedVehicle& record, std::uint64_t add, std::uint64_t extra);

// `m` more copied vertices fit the vehicle's limit and MaxTotalVertices.
// Where the hidden panels still to be worked out could change the answer,
// they are worked out first: every answer is the one their counts give.
bool verticesFit(const game::TrackedVehicle& record, std::int32_t m);

// Room for one more private mesh of `n` source vertices on this vehicle.
bool roomForMesh(const game::TrackedVehicle& record, std::int32_t n);

// Works out the vertices of a hidden panel and holds them against the
// budgets: the rebuilt panel's, or the plain copy's when the rebuild would
// refuse it (its room was certain when it began to wait). False when its
// atomic no longer draws it: it is then to be dropped (dropStale), holding
// nothing.
bool countHidden(game::TrackedVehicle& record, game::HiddenVariant& h);
void dropStale(game::TrackedVehicle& record);

} // namespace mesh
