#pragma once

#include <cstdint>

namespace game {

// The CPU buffer guard: true when the geometry record at `geometry`, its
// first morph target and every CPU buffer that its counts and flags announce
// (positions, triangles, normals, prelit colours, texture coordinate sets)
// are readable, and its counts lie within the limits the plug-in handles.
// `morphOffset` is the byte offset of the morph-target pointer inside the
// record (game::morphOffset once the layout is known; 0 always fails).
// Reads nothing before proving it readable.
bool cpuBufferGuard(const void* geometry, std::uint32_t morphOffset);

} // namespace game
