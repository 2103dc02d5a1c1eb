#pragma once

// Where a thread held still during a code write has to continue, so that it
// never resumes inside bytes that changed under it. The other threads are
// only held on Windows (platform::OtherThreads); the mapping is the same
// everywhere.

#include "hook/hook_entry.h"
#include "platform/code_memory.h"

#include <cstdint>

namespace hook {

// With the jump written (the move is made just before the write, the copies
// run the same instructions): a thread stopped at the start of a moved
// instruction other than the first continues at its copy in the trampoline.
// A thread at the target itself is left there and enters the detour, as a
// call arriving just after the write would.
std::uintptr_t ipAfterEnable(const HookEntry& hook, std::uintptr_t ip);

// After the original bytes are back: a thread at a copied instruction (or at
// the jump back) in the trampoline returns to the original, so that nothing
// runs in a trampoline that no longer stands for an enabled hook.
std::uintptr_t ipAfterDisable(const HookEntry& hook, std::uintptr_t ip);

// Each false when a held thread could not be placed (OtherThreads).
bool moveThreadsAfterEnable(platform::OtherThreads& threads, const HookEntry& hook);
bool moveThreadsAfterDisable(platform::OtherThreads& threads, const HookEntry& hook);

} // namespace hook
