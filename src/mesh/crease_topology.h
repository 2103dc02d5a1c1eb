#pragma once

// The rebuild of a bonnet or boot into a panel that can fold: its triangles
// cut along the crease and the lattice, every piece given its own three
// vertices and drawn from both sides through two faces that share them.

#include "game/mesh_reference.h"

#include <cstdint>

namespace mesh {

// A new geometry holding the panel rebuilt from `source` (which is read, never
// changed or released), or null when the panel is refused or a host call
// fails; nothing the build created is left behind then. Writes the panel's
// shape start and length, fold, lattice and side list into `panel` (kind,
// damaged, sign and crease must already be set). The caller owns the result.
// Game thread only, with game::morphOffset known. Allocation failure
// propagates as std::bad_alloc, after releasing what was created.
void* buildCreaseTopology(void* source, game::PanelState& panel);

// True when buildCreaseTopology(source, panel) would accept the panel's
// bounds and triangles (nothing is logged or written); only the count of its
// pieces may still refuse it. A pass over the vertices and triangles.
bool creaseShapeAccepted(void* source, const game::PanelState& panel);

// The vertex count of the geometry buildCreaseTopology(source, panel) would
// return, worked out from the source's positions and triangles without
// building anything (nothing is logged or written); 0 when it would refuse
// the panel for its shape, its triangles or their pieces. `panel` needs kind,
// damaged, sign and crease.
std::int32_t creaseVertexCount(void* source, const game::PanelState& panel);

// A prelit colour channel interpolated as a float, stored back as a byte:
// rounded to the nearest integer, halves away from zero, clamped to 0 .. 255.
// Without the library's rounding call, which the rebuild would make for
// every channel of every vertex: below 254.5 a value truncates to an
// integer i, and value - i is exact.
inline std::uint8_t panelColourByte(float value) {
    if (!(value > 0.0f)) return 0; // NaN, negatives and anything rounding to 0
    if (value >= 254.5f) return 255;
    auto i = static_cast<std::uint8_t>(value);
    if (value - static_cast<float>(i) >= 0.5f) ++i;
    return i;
}

} // namespace mesh
