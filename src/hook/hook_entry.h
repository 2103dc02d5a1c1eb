#pragma once

// One created hook, as the registry keeps it.

#include "hook/trampoline.h"

#include <cstdint>

namespace hook {

struct HookEntry {
    std::uint8_t* target;
    std::uint8_t* detour;
    std::uint8_t* trampoline;
    TrampolineLayout layout;
    std::uint8_t original[patchSize]; // the target's bytes the jump replaces
    bool enabled;
};

} // namespace hook
