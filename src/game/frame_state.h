#pragma once

#include <cstdint>

// The three process-wide bytes that order the plug-in's work on the game's
// thread. One byte each, no locks: everything that reads or writes them runs
// on the game's thread, inside host calls, one at a time.
namespace game {

// Set by the hook installation once all four contact and lifecycle hooks are
// enabled; never cleared afterwards.
extern std::uint8_t hooksActive;

// Open only while the game's own per-frame processing runs inside the frame
// hook (and only with hooks active and no shutdown in progress); the contact
// detours record nothing while it is closed.
extern std::uint8_t captureOpen;

// Set by the shutdown release, cleared by the restart path.
extern std::uint8_t shuttingDown;

} // namespace game
