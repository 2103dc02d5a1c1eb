#pragma once

// The substitute game as a Windows program. Its image sits at 0x400000, the
// executable base the plug-in checks, and its first section reserves the
// game's addresses, so that the substitute host writes the game's code stubs,
// call sites, globals and records there as on Linux; the program's own code
// lies above them. Before main it sets up the process as the game would run
// it for its plug-ins (see game_program.cpp). Loaded plug-ins call Wine for
// everything except the tick count, which is the game's clock, and what a
// test deliberately makes fail (test_state.cpp).

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wingame {

// The addresses the image's first section reserves: [begin, end).
struct Range {
    std::uintptr_t begin, end;
};
Range reservedRange();

// Loads every "*.asi" in `folder`, in name order, with LoadLibraryA, as an
// ASI loader loads the game's plug-ins before its first frame. Returns the
// modules that loaded; a file that does not load is left out.
std::vector<HMODULE> loadAsiPlugins(const std::string& folder);

// ---- imports of the loaded plug-ins ------------------------------------------------
// Every module whose file name ends in ".asi" is a plug-in: when Wine has
// bound its imports, before its entry runs, the bindings armed so far are
// applied to it.

// Points the plug-ins' import of `dll`!`name` (now and on later loads) at
// `to`. False when no loaded plug-in imports it (it still applies to later
// loads).
bool bindPluginImport(const char* dll, const char* name, void* to);
// The system's own function, for a binding to pass a call on.
void* systemFunction(const char* dll, const char* name);

// ---- what a test changes of the system --------------------------------------------

// True when the program's keyboard is its own (a desktop of its own): the
// keys it presses reach no other program of the test run.
bool hasOwnDesktop();

// The `nth` use of the plug-ins' import `name` from now fails as the system
// would fail it (0 disarms). False for a call that has no failing form here.
bool failOnUse(const char* name, std::uint32_t nth);
// Binds the plug-ins' import `name` without arming it, so that its uses are
// counted from now (and from the next load) on. False as for failOnUse.
bool countUses(const char* name);
// Uses counted since the plug-ins' import `name` was first bound.
std::uint32_t uses(const char* name);
// The plug-ins' VirtualProtect refuses any range touching the page that
// holds `address`, as for a page whose protection cannot change.
void refuseProtection(std::uintptr_t address);

} // namespace wingame
