#pragma once

#include "api.h"
#include "vec.h"

#include <cstdint>

namespace dent {

// A struck non-player vehicle near the player, as ranked for this frame's
// hits.
struct TrafficCandidate {
    const void* vehicle; // identity only
    float distanceSq;    // squared distance to the reference position
    bool playerLinked;   // the entity that the player's vehicle record references
    std::int32_t handle; // pool handle; unique among candidates
};

// True when b lies within `range` of a (a point exactly at the range is in).
// False for any non-finite coordinate and for a range that is not positive
// finite.
DENT_API bool inTrafficRange(Vec a, Vec b, float range);

// Sort order of the candidates: the player-linked one first, then nearer
// before farther, then the smaller handle. A NaN distance ranks after every
// number, so the order stays strict and weak for any input.
DENT_API bool trafficPriority(const TrafficCandidate& a, const TrafficCandidate& b);

} // namespace dent
