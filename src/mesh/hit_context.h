#pragma once

// What one hit hands to the per-atomic driver through the host's atomic
// walk: the dent in world space and the counters the driver fills in.

#include "dent/vec.h"

#include <cstdint>

namespace game {
struct TrackedVehicle;
}

namespace mesh {

struct HitContext {
    game::TrackedVehicle* record; // the struck vehicle's record
    dent::Vec worldPoint;         // the episode's point in world space
    dent::Vec worldNormal;        // the episode's normal in world space, not renormalised
    float depth;                  // the episode's depth
    float radius;                 // the episode's radius
    std::uint32_t serial;         // the episode's serial
    std::uint32_t meshes;         // atomics dented to the end
    std::uint32_t panels;         // panel folds applied
    std::uint32_t visited;        // atomics the walk called the driver for
    // Whether this hit's first touches wait for a later frame: decided at the
    // first one, from the work the frame has done so far.
    bool firstTouchesDecided;
    bool firstTouchesCarried;
    std::uint64_t turn; // the place of this hit's carried work among all carried work
};

} // namespace mesh
