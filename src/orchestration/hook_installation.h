#pragma once

// Installation of the plug-in's inline hooks, from inside the first frame: the
// two contact hooks with the two lifecycle hooks as one all-or-nothing set of
// four, then the two part-retention hooks. Each block is tried once per
// process; a failure is never retried.

#include "orchestration/startup.h"

#include <cstdint>

namespace orchestration {

// Called by the frame hook at the start of every call; works on the first.
void installHooks();

// One row of the contact and lifecycle set, in installation order.
struct HookRow {
    std::uintptr_t target;
    void* detour;
    void** trampoline;
};
constexpr int kContactHookRows = 4;
// The rows as installed (host address, detour, trampoline slot).
const HookRow* contactHookRows();

// What start-up needs from the host binding: the readable-range test, the
// registry and the three call-site detours with their saved targets.
StartupBindings startupBindings();

} // namespace orchestration
