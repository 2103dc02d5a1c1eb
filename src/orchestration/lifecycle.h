#pragma once

// The four shutdown detours. Each takes every private mesh copy off the game's
// vehicles and drops every geometry reference the plug-in holds before the
// game's own teardown runs, and brackets the game's call with forced lines.

#include "game/host_functions.h"

namespace orchestration {

// Targets of the two rewritten shutdown calls (written by start-up).
extern game::PlainCallFn renderWareShutdownTarget;
extern game::PlainCallFn poolsShutdownTarget;
// Trampolines to the two hooked game functions (written by hook installation).
extern game::GameShutdownFn gameShutdownOriginal;
extern game::ShutDownForRestartFn shutDownForRestartOriginal;

// Call-site detours (0x48D540, 0x48C491).
void BW_CDECL renderWareShutdownDetour();
void BW_CDECL poolsShutdownDetour();
// Inline-hook detours (CGame::Shutdown 0x48C3A0, ShutDownForRestart 0x48C6B0).
std::uint32_t BW_CDECL gameShutdownDetour();
void BW_CDECL shutDownForRestartDetour();

// Sets shutting down, closes capture, empties the contact queue and the
// part-retention table, puts every tracked vehicle back on its source
// geometries and empties the registry. `beginText` is the forced first line.
void releaseAll(const char* beginText);

} // namespace orchestration
