#pragma once

// The game's other threads as the thread calls see them: each has an id and
// a saved register context that a test sets and reads; suspending and
// resuming only counts. The calling thread is the process's one real thread.

#include "winhost/win32_types.h"

namespace winhost {

// A new thread of this process stopped with `context`; its id.
DWORD addGameThread(const Context& context);
Context gameThreadContext(DWORD id);
DWORD suspendCount(DWORD id);
void removeGameThreads();

} // namespace winhost
