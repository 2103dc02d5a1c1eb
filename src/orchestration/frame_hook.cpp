#include "orchestration/frame_hook.h"

#include "dent/traffic.h"
#include "dent/vec.h"
#include "game/contact_capture.h"
#include "game/frame_state.h"
#include "game/host_layout.h"
#include "game/layout_probe.h"
#include "game/readable_range.h"
#include "game/registry.h"
#include "game/traffic_candidates.h"
#include "mesh/deform_atomic.h"
#include "mesh/frame_work.h"
#include "mesh/hidden_variants.h"
#include "orchestration/hit_processing.h"
#include "orchestration/hook_installation.h"
#include "platform/platform.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <cmath>
#include <vector>

namespace orchestration {

game::PlainCallFn processTarget = nullptr;
std::uint8_t probeTried = 0;

namespace {

constexpr int kResetKey = 0x76; // F7
constexpr std::size_t kPositionSpan = game::EntityPosition + 3 * sizeof(float);

bool gateOpen() {
    if (game::registry() == nullptr || game::shuttingDown) return false;
    if (game::vehiclePool() == nullptr || game::engineInstance() == nullptr) return false;
    return ((game::holdFlagA() | game::holdFlagB()) & 1u) == 0;
}

// The entity's position when its record is readable and the position finite.
bool finitePosition(const void* entity, dent::Vec* out) {
    if (entity == nullptr || !game::readableRange(entity, kPositionSpan)) return false;
    *out = game::entityPosition(entity);
    return std::isfinite(out->x) && std::isfinite(out->y) && std::isfinite(out->z);
}

void traffic(void* playerVehicle) {
    const plugin::Settings& s = plugin::settings();
    if (!s.affectNPCs) return;
    // A record the system could not let the selection read loses the hits of
    // the traffic struck this frame.
    const std::uint32_t failures = game::memoryQueryFailures();
    dent::Vec reference{};
    const bool placed = playerVehicle != nullptr ? finitePosition(playerVehicle, &reference)
                                                 : finitePosition(game::playerPed(), &reference);
    std::vector<dent::TrafficCandidate> candidates;
    if (placed) candidates = game::buildTrafficCandidates(reference, playerVehicle, s);
    if (game::memoryQueryFailures() != failures && game::trafficStruck(playerVehicle))
        plugin::logLoss("Hit dropped: traffic struck this frame could not be read.");
    std::uint32_t served = 0;
    for (const dent::TrafficCandidate& c : candidates) {
        if (served >= s.maxNPCPerFrame) break;
        processHit(const_cast<void*>(c.vehicle), false, false, playerVehicle);
        ++served;
    }
}

// Everything after the game's processing that the gate and the probe allow.
void update() {
    if (!gateOpen()) return;
    if (!probeTried) {
        probeTried = 1;
        game::probeGeometryLayout();
    }
    if (game::morphOffset == 0) return;

    game::Registry& reg = *game::registry();
    game::frameWalk(reg);

    // Work left from earlier frames comes before this frame's hits: the part
    // variants the game now draws at once, carried first touches as the
    // budget allows.
    mesh::beginFrameWork();
    plugin::setCurrentPhase("frame: build shown variants");
    mesh::buildShownVariants(reg);
    plugin::setCurrentPhase("frame: carried first touches");
    mesh::runCarriedWork(reg);
    plugin::setCurrentPhase("Bucklewright update");

    void* playerVehicle = game::playerVehicle();
    const bool down = platform::keyDown(kResetKey);
    const bool reset = down && !reg.f7Latch;
    reg.f7Latch = down ? 1 : 0;
    if (playerVehicle != nullptr) processHit(playerVehicle, true, reset, playerVehicle);

    traffic(playerVehicle);
}

} // namespace

void BW_CDECL frameHook() {
    installHooks();

    game::contactQueue.reset();
    game::captureOpen = (game::hooksActive && !game::shuttingDown) ? 1 : 0;
    plugin::setCurrentPhase("game process");
    if (processTarget != nullptr) processTarget();
    game::captureOpen = 0;
    plugin::setCurrentPhase("Bucklewright update");

    // Until the game's processing runs again, memory is unmapped only by the
    // plug-in's own releases, which drop what was remembered: each region is
    // asked about once.
    game::rememberReadableRegions();
    try {
        update();
    } catch (...) {
        // Nothing may unwind into the host; the frame's remaining work is
        // skipped and the step it stopped in is named.
        plugin::logFormat(256, "Frame update failed during \"%s\"; rest of the frame skipped.",
                          plugin::currentPhase());
    }
    game::stopRememberingRegions();
    mesh::endFrameWork();

    if (game::contactQueue.dropped != 0 && plugin::settings().logHits)
        plugin::logLine("Contact queue full: excess impacts skipped for this frame.");
    plugin::setCurrentPhase("game rendering / between updates");
}

} // namespace orchestration
