#pragma once

// The fault sweeps' one scripted session: dents on player and traffic, bonnet
// and boot folds, a rear light, a held door, F7, a repair, traffic struck
// while the player is on foot, a deleted car and its reused slot, a restart
// and the shutdown.

#include "harness.h"

#include <string>

namespace soak {

// Plays the session; with `log`, also hands back the plug-in's whole log as
// the session left it. `atEnd` runs after the session's end while the host
// is still there.
void sweepScript(Figures& f, std::string* log = nullptr, void (*atEnd)() = nullptr);

} // namespace soak
