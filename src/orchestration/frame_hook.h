#pragma once

// The plug-in's heartbeat: the detour on the host's call of the game's
// per-frame processing. It opens contact capture around the game's own
// processing and afterwards drives the registry walk, F7 and hit processing.

#include "game/host_functions.h"

namespace orchestration {

// The per-frame processing the patched call reached before (start-up writes
// it); the frame hook calls on through it.
extern game::PlainCallFn processTarget;

// Set on the first frame that passes the gate; the layout probe runs then.
extern std::uint8_t probeTried;

// Reached by the host's patched call at 0x48E49B; no arguments, no result.
void BW_CDECL frameHook();

} // namespace orchestration
