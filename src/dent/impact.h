#pragma once

#include "api.h"
#include "vec.h"

#include <cstdint>

namespace dent {

// The size of the dent one collision leaves. All zero when rejected; every
// caller treats depth <= 0 as no dent.
struct Response {
    float impact; // impulse / mass, unclamped
    float depth;
    float radius;
};

// One collision contact on one vehicle, in the vehicle's body frame. The host
// references are identities only: the core never dereferences them.
struct Contact {
    const void* vehicle;      // the struck vehicle
    std::int32_t handle;      // the host's handle of it at capture time
    const void* renderObject; // its render object at capture time
    Vec point;                // contact point, body frame
    Vec normal;               // unit normal, body frame, never pointing away from the origin
    float impulse;            // host impulse for this vehicle; positive
    std::uint32_t piece;      // host piece code of the struck part (0 .. 255)
    // The dent this contact makes, sized once at capture with the vehicle's
    // mass of that frame; it travels with the contact through the queue.
    Response response;
};

// Tuning of response(). These are the first seven settings, in this order;
// callers pass a reference to the head of the settings record.
struct ImpactConfig {
    float minImpact;       // impact at or below which nothing dents
    float referenceImpact; // impact of a full-strength dent
    float strength;        // multiplier on the shaped impact fraction
    float impactExponent;  // shapes the impact fraction
    float maxDentPerHit;   // depth at full strength
    float minRadius;       // radius of the weakest dent
    float maxRadius;       // radius at full strength
};
static_assert(sizeof(ImpactConfig) == 7 * sizeof(float), "ImpactConfig is seven packed floats");

// Sizes a collision (host impulse, vehicle mass) into a dent depth and radius.
// Pure; invalid input gives the all-zero response.
DENT_API Response response(float impulse, float mass, const ImpactConfig& config);

} // namespace dent
