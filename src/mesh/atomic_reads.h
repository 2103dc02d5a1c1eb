#pragma once

// Guarded looks at an atomic and its geometry that the driver's steps share.

#include "dent/vec.h"

#include <cstdint>

namespace mesh {

// The positions of a geometry's one morph target; null when it has none.
const dent::Vec* positionsOf(const void* geometry);

// Some point lies closer than `radius` to `centre`.
bool withinReach(const dent::Vec* points, std::int32_t count, dent::Vec centre, float radius);

// The game draws the atomic now.
bool shown(void* atomic);

// An atomic of a waiting entry, if it still draws what it drew then.
bool stillOn(void* atomic, void* geometry);

} // namespace mesh
