#include "orchestration/lifecycle.h"

#include "game/contact_capture.h"
#include "game/frame_state.h"
#include "game/part_retention.h"
#include "game/registry.h"
#include "plugin/log.h"

namespace orchestration {

game::PlainCallFn renderWareShutdownTarget = nullptr;
game::PlainCallFn poolsShutdownTarget = nullptr;
game::GameShutdownFn gameShutdownOriginal = nullptr;
game::ShutDownForRestartFn shutDownForRestartOriginal = nullptr;

void releaseAll(const char* beginText) {
    game::shuttingDown = 1;
    game::captureOpen = 0;
    game::contactQueue.reset();
    game::clearPartRetention();
    plugin::phase(beginText, true);

    game::Registry* reg = game::registry();
    plugin::logFormat(128, "Lifecycle: releasing %u tracked vehicles.",
                      reg != nullptr ? static_cast<unsigned>(reg->records.size()) : 0u);
    if (reg != nullptr) {
        for (auto& record : reg->records) {
            try {
                game::resetRecord(*record);
            } catch (...) {
                // Resetting only releases; should one record throw anyway,
                // the others are still put back and deleting the records
                // below still drops every reference.
            }
        }
        game::deleteAllRecords(*reg);
    }
    plugin::phase("Lifecycle: Bucklewright cleanup complete.", true);
}

void BW_CDECL renderWareShutdownDetour() {
    releaseAll("Lifecycle: RenderWare shutdown begin; fallback cleanup.");
    plugin::phase("Lifecycle: executing original RenderWare shutdown.", true);
    if (renderWareShutdownTarget != nullptr) renderWareShutdownTarget();
    plugin::phase("Lifecycle: original RenderWare shutdown returned.", true);
}

void BW_CDECL poolsShutdownDetour() {
    const std::uint8_t wasShuttingDown = game::shuttingDown;
    releaseAll("Lifecycle: pools shutdown begin; fallback cleanup.");
    plugin::phase("Lifecycle: executing original pools shutdown.", true);
    if (poolsShutdownTarget != nullptr) poolsShutdownTarget();
    plugin::phase("Lifecycle: original pools shutdown returned.", true);
    game::shuttingDown = wasShuttingDown;
}

std::uint32_t BW_CDECL gameShutdownDetour() {
    releaseAll("Lifecycle: CGame::Shutdown begin; early cleanup.");
    plugin::phase("Lifecycle: executing original CGame::Shutdown.", true);
    const std::uint32_t result = gameShutdownOriginal != nullptr ? gameShutdownOriginal() : 0;
    plugin::phase("Lifecycle: original CGame::Shutdown returned.", true);
    return result;
}

void BW_CDECL shutDownForRestartDetour() {
    releaseAll("Lifecycle: ShutDownForRestart begin; early cleanup.");
    plugin::phase("Lifecycle: executing original ShutDownForRestart.", true);
    if (shutDownForRestartOriginal != nullptr) shutDownForRestartOriginal();
    plugin::phase("Lifecycle: original ShutDownForRestart returned.", true);
    game::shuttingDown = 0;
}

} // namespace orchestration
