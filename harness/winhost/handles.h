#pragma once

// Kernel object handles: files, threads, thread snapshots and semaphores,
// in a fixed table (no allocation: the fault report opens a file from a
// signal handler).

#include "winhost/win32_types.h"

#include <cstddef>

namespace winhost {

enum class HandleKind { None, File, Thread, Snapshot, Semaphore };

struct KernelObject {
    HandleKind kind = HandleKind::None;
    int fd = -1;             // File
    DWORD threadId = 0;      // Thread
    DWORD snapshot[16] = {}; // Snapshot: thread ids, then their owners
    DWORD owners[16] = {};
    std::size_t count = 0, next = 0;
    LONG semaphoreCount = 0, semaphoreMax = 0; // Semaphore
};

// A new handle for `object`; null when the table is full.
HANDLE newHandle(const KernelObject& object);
// The object behind `handle` when it is of `kind`; null otherwise.
KernelObject* objectOf(HANDLE handle, HandleKind kind);
// Releases the handle (closing a file's descriptor); false when unknown.
bool closeHandle(HANDLE handle);
// Handles open now, of one kind.
std::size_t openHandles(HandleKind kind);

} // namespace winhost
