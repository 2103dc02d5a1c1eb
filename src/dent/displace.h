#pragma once

#include "api.h"
#include "vec.h"

#include <cstddef>

namespace dent {

// Share (0 .. 1) of a dent's depth that reaches a point at `distance` from its
// centre: a smoothstep bowl raised to `power`; 0 at and beyond `radius`.
DENT_API float falloff(float distance, float radius, float power);

// The greatest falloff() of `count` points at their distances from `centre`:
// the share of a dent that reaches the nearest of them (0 for none, and for a
// radius that is not positive). The same value as falloff() taken for every
// point, at the cost of one power.
DENT_API float greatestFalloff(const Vec* points, std::size_t count, Vec centre, float radius,
                               float power);

// New position of one mesh point under one dent. All four vectors share one
// space. `previousDepth`/`previousRadius` describe the bowl of the same dent
// already applied (0, 0 for a new dent): the point moves only by the growth,
// never back, and never ends farther than `maxTotal` from `rest`. Invalid
// input returns `current` unchanged.
DENT_API Vec displaceImpact(Vec rest, Vec current, Vec contact, Vec direction, float depth,
                            float radius, float previousDepth, float previousRadius, float maxTotal,
                            float falloffPower);

// displaceImpact() over parallel arrays, in ascending index order; `current`
// is updated in place. Results are bit-identical to calling displaceImpact()
// per point; `rest` may be `current` itself.
DENT_API void dentVertices(const Vec* rest, Vec* current, std::size_t count, Vec contact,
                           Vec direction, float depth, float radius, float previousDepth,
                           float previousRadius, float maxTotal, float falloffPower);

} // namespace dent
