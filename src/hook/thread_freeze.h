#pragma once

// Where a thread held still during a code write has to continue, so that it
// never resumes inside bytes that changed under it. The other threads are
// only held on Windows (platform::OtherThreads); the mapping is the same
// everywhere.

#include "hook/hook_entry.h"
#include "platform/code_memory.h"

#include <cstdint>

namespace hook {

// After the jump is written: a thread stopped at the start of a moved
// instruction other than the first continues at its copy in the trampoline.
// A thread at the target itself is left there and enters the detour, as a
// call arriving just after the write would.
std::uintptr_t ipAfterEnable(const HookEntry& hook, std::uintptr_t ip);

// After the original bytes are back: a thread at a copied instruction (or at
// the jump back) in the trampoline returns to the original, so that nothing
// runs in a trampoline that no longer stands for an enabled hook.
std::uintptr_t ipAfterDisable(const HookEntry& hook, std::uintptr_t ip);

void moveThreadsAfterEnable(platform::OtherThreads& threads, const HookEntry& hook);
void moveThreadsAfterDisable(platform::OtherThreads& threads, const HookEntry& hook);

} // namespace hook
