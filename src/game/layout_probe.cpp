#include "game/layout_probe.h"

#include "game/buffer_guard.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/readable_range.h"
#include "plugin/log.h"

#include <cstdint>

namespace game {

namespace {

// Three vertices, one triangle; positions and normals (0x02 | 0x10).
constexpr int kProbeVertices = 3;
constexpr int kProbeTriangles = 1;
constexpr std::uint32_t kProbeFormat = FormatPositions | FormatNormals;

} // namespace

void probeGeometryLayout() {
    plugin::phase("geometry ABI: create runtime probe");
    void* g = game::createGeometry(kProbeVertices, kProbeTriangles, kProbeFormat);
    if (g == nullptr) {
        plugin::logLine("Geometry ABI: probe allocation failed; deformation disabled.");
        return;
    }

    unsigned passed = 0;
    std::uint32_t found = 0;
    for (std::uint32_t m : MorphOffsetCandidates) {
        // The guard proves the record readable before the counts are read.
        if (cpuBufferGuard(g, m) && vertexCount(g) == kProbeVertices &&
            triangleCount(g) == kProbeTriangles) {
            ++passed;
            found = m;
        }
    }
    game::destroyGeometry(g);
    forgetReadableRegions();

    if (passed != 1) {
        plugin::logLine("Geometry ABI: no unique validated layout; deformation disabled.");
        return;
    }
    game::morphOffset = found;
    plugin::logFormat(160, "Geometry ABI: validated morphTarget offset=0x%02X; CPU buffer guard active.",
                      static_cast<unsigned>(found));
}

} // namespace game
