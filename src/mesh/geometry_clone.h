#pragma once

// The private copy of a host geometry that a dent is made on. The copy is
// built through the host's own construction calls, field by field, and
// shares the source's materials; the source is never changed.

namespace mesh {

// A new geometry equal to `source` (positions, bounding sphere, normals,
// prelit colours, texture coordinates, triangles and their materials, and the
// surface properties where the layout has them), with its render meshes built
// and one owned reference that passes to the caller.
// Null when the source is refused or any host call fails; nothing is leaked
// and the source is left as it was. Game thread only, with game::morphOffset
// known.
void* cloneGeometry(void* source);

// Gives `copy` the surface properties of `source` when the layout found by
// the probe has them; both must have passed the buffer guard with
// game::morphOffset.
void copySurfaceProperties(void* copy, const void* source);

} // namespace mesh
