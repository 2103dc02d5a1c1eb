#pragma once

// Rear lights: a dent at the back of a car breaks the rear light that it
// reaches, judged each time the car's dent grows, before its meshes change.

#include "dent/episode.h"

namespace game {

// Sets the status of each intact rear light (2 left, 3 right) to smashed when
// the episode's dent, faded to the light's position the way the dent itself
// fades, is still at least RearMinDepth deep there. `isPlayer` selects the
// actor word of the log line. Game thread only, inside hit processing; silent
// on every rejection, but a record that could not be read leaves one line
// when LogHits or Diagnostics is on.
void rearLights(void* vehicle, const dent::Episode& episode, bool isPlayer);

} // namespace game
