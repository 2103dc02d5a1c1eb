#pragma once

// Turns a vehicle's contact of this frame into a dent: feeds it, with the
// size capture gave it, to the vehicle's episode and, when the dent grew,
// walks the vehicle's atomics with the per-atomic driver. Also serves the
// player's reset (F7).

namespace orchestration {

// `isPlayer` selects the actor word of the hit line; `resetRequested` is set
// only for the player's vehicle in the frame in which F7 went down;
// `playerVehicle` (or null) is the vehicle that making room must keep.
// Game thread only, after the game's processing; never throws.
void processHit(void* vehicle, bool isPlayer, bool resetRequested, void* playerVehicle);

} // namespace orchestration
