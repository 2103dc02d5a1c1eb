#pragma once

// The module's start-up on process attach: file names beside the module, the
// banner, the early switches, the exception reporter, the executable and
// call-site checks, the settings, the registry and the three call-site
// patches. The host-bound pieces come in through StartupBindings
// (hook_installation.h) so that the sequence itself reads no host record.

#include <cstddef>
#include <cstdint>

#include "game/host_layout.h"

namespace orchestration {

typedef void (*PlainCall)();

// One call site to rewrite: where the near call sits, the detour it should
// reach, and where the call's previous target is kept for the detour.
struct CallSitePatch {
    std::uintptr_t site;
    PlainCall detour;
    PlainCall* savedTarget;
};

struct StartupBindings {
    // The readable-range test for the signature bytes.
    bool (*readable)(std::uintptr_t address, std::size_t size);
    // Creates the empty tracked-vehicle registry; false when it could not.
    bool (*createRegistry)();
    // In patch order: RenderWare shutdown, pools shutdown, per-frame processing.
    CallSitePatch patches[3];
};

// The address order in which the call sites are tested before anything is
// written: per-frame processing, RenderWare shutdown, pools shutdown.
constexpr std::uintptr_t kCallSitesInTestOrder[3] = {
    game::addr::ProcessCall, game::addr::RwShutdownCall, game::addr::PoolsShutdownCall};

// The module entry's work. Only reason 1 (process attach) does anything;
// always returns 1 so the load never fails.
int moduleEntry(void* module, unsigned long reason, const StartupBindings& bindings);

// The whole attach sequence.
void processAttach(void* module, const StartupBindings& bindings);

// Rewrites the near call at `site` to reach `detour`; `*savedTarget` gets the
// call's current target first. False when the site holds no near call (the
// target is then left alone) or its page could not be made writable.
bool patchCallSite(std::uintptr_t site, PlainCall detour, PlainCall* savedTarget);

// The module's path cut at its last '.', plus `extension`, written with the
// bound `size` (longer results are cut).
void siblingPath(const char* modulePath, const char* extension, char* out, std::size_t size);

// The settings path fixed at attach ("" before).
const char* settingsPath();

} // namespace orchestration
