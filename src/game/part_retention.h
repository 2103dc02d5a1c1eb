#pragma once

// Part retention: a door or panel of a vehicle moves to its next damage stage
// only on the configured number of separate attempts. The detours let the
// host's own damage logic run every time and put the part's status back right
// after the host changed it, until enough separate attempts were counted.

#include "game/host_functions.h"

#include <cstdint>

namespace game {

// Trampolines to the unhooked host functions, written by the hook
// installation before the hooks are enabled.
extern ComponentDamageFn componentDamageOriginal;
extern DamageResetFn damageResetOriginal;

// Detour on the damage record's component damage: calls the host function
// once with the same arguments and returns its result unchanged; `a` and `b`
// are passed through unread.
bool BW_THISCALL componentDamageDetour(void* damage, std::int32_t component, float a, float b);

// Detour on the damage record's reset: forgets all counting for the record,
// then runs the host's reset and returns its result.
std::uint32_t BW_THISCALL damageResetDetour(void* damage);

// Frees every slot of the retention table and zeroes its use counter
// (shutdown and restart).
void clearPartRetention();

} // namespace game
