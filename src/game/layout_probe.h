#pragma once

namespace game {

// Finds where this engine build keeps the morph-target pointer inside a
// geometry record: creates a tiny geometry through the host, tries each
// candidate offset with the CPU buffer guard and accepts the layout only when
// exactly one candidate validates. Sets game::morphOffset on success and
// leaves it 0 otherwise; logs one line either way. Run once per process.
void probeGeometryLayout();

} // namespace game
