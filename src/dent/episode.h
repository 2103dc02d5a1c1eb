#pragma once

#include "api.h"
#include "impact.h"
#include "vec.h"

#include <cstdint>

namespace dent {

// The dent a vehicle is receiving now. Contacts that come soon after one
// another at about the same spot and from about the same direction are one
// episode, which grows to the strongest of them; anything else begins a new
// episode with a new serial, i.e. a new dent on top of the old ones.
// All zero is the empty episode (no dent yet).
struct Episode {
    Vec point;            // body-frame point of the contact that began it
    Vec normal;           // unit body-frame normal of that contact
    float depth;          // greatest depth observed in it
    float radius;         // greatest radius observed in it
    std::uint32_t serial; // episodes begun on this vehicle; 1 for the first, never 0 once open
    std::uint32_t lastMs; // host time of the last contact observed
    bool open;            // an episode has begun

    // Feeds one contact (body-frame point and normal, its sized response, the
    // host clock `now` and the settings' `gapMs`). It continues the open
    // episode when at most `gapMs` has passed since the last contact (in
    // wrapping unsigned time, so a clock that steps back starts anew), the
    // point is within 0.85 of the episode's and the normals are within about
    // 49.5 degrees; otherwise a new episode begins here.
    // Returns true when the dent grew by more than 0.00001 in depth or
    // radius, i.e. when the meshes must be touched. Invalid input (non-finite
    // or unusable point, normal or response) changes nothing and returns false.
    DENT_API bool observe(Vec contactPoint, Vec contactNormal, const Response& response,
                          std::uint32_t now, std::uint32_t gapMs);
};

} // namespace dent
