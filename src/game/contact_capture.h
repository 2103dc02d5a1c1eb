#pragma once

// Capture of the host's collision responses into the frame's contact queue.
// The detours let the host's own response run unchanged and only record, for
// each struck vehicle, its strongest contact of the frame in its body frame.

#include "dent/contact_queue.h"
#include "game/host_functions.h"

#include <cstdint>

namespace game {

// The frame's contacts: emptied by the frame update before the game's
// processing, filled by the detours during it, read after it.
extern dent::ContactQueue<256> contactQueue;

// Trampolines to the unhooked host functions, written by the hook
// installation before the hooks are enabled.
extern PairContactFn pairContactOriginal;
extern SingleContactFn singleContactOriginal;

// Detours on the two collision responses; they return the host's result.
bool BW_THISCALL pairContactDetour(void* self, void* other, void* collisionPoint,
                                   float* impulseSelf, float* impulseOther);
// The one-sided response's other body and two vectors are passed through
// unread.
bool BW_THISCALL singleContactDetour(void* self, void* other, void* collisionPoint,
                                     float* impulse, void* moveSpeed, void* turnSpeed);

// Filters one contact on `entity` and queues it. `collisionPoint` is the
// detour's copy of the host's record (ColPointSize bytes); `secondBody`
// selects the second body's piece byte and flips the normal (the host's
// normal faces the first body).
void captureContact(void* entity, const unsigned char* collisionPoint, bool secondBody,
                    float impulse);

} // namespace game
