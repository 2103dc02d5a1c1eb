#include "platform/code_memory.h"

#include <windows.h>

// Needs the types of <windows.h> first.
#include <tlhelp32.h>

namespace platform {

void* allocateExecutable(std::size_t size) {
    return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
}

void freeExecutable(void* memory, std::size_t) {
    if (memory) VirtualFree(memory, 0, MEM_RELEASE);
}

std::size_t codePageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

bool isExecutable(const void* address) {
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(address, &mbi, sizeof mbi) != sizeof mbi) return false;
    if (mbi.State != MEM_COMMIT) return false;
    if (mbi.Protect & (PAGE_GUARD | PAGE_NOACCESS)) return false;
    return (mbi.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                           PAGE_EXECUTE_WRITECOPY)) != 0;
}

bool OtherThreads::suspend() noexcept {
    resume();
    // Every allocation and release happens while all threads still run: a
    // suspended thread may hold the heap lock. The list first holds thread
    // ids, which are then replaced in place by the handles of the threads
    // that were stopped.
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    const DWORD process = GetCurrentProcessId();
    const DWORD self = GetCurrentThreadId();
    // The list is whole only when it ran to its end, and held this thread.
    bool whole = false;
    bool sawSelf = false;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    if (Thread32First(snapshot, &entry)) {
        do {
            // Entries shorter than the owner field carry no process id.
            if (entry.dwSize >= offsetof(THREADENTRY32, th32OwnerProcessID) + sizeof(DWORD) &&
                entry.th32OwnerProcessID == process) {
                if (entry.th32ThreadID == self) {
                    sawSelf = true;
                } else {
                    try {
                        threads_.push_back(reinterpret_cast<void*>(
                            static_cast<std::uintptr_t>(entry.th32ThreadID)));
                    } catch (...) {
                        threads_.clear();
                        CloseHandle(snapshot);
                        return false;
                    }
                }
            }
            entry.dwSize = sizeof entry;
        } while (Thread32Next(snapshot, &entry));
        whole = GetLastError() == ERROR_NO_MORE_FILES && sawSelf;
    }
    CloseHandle(snapshot);

    std::size_t held = 0;
    for (std::size_t i = 0; i < threads_.size(); ++i) {
        const auto id = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(threads_[i]));
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT |
                                       THREAD_QUERY_INFORMATION,
                                   FALSE, id);
        if (!thread) {
            // A thread that ended since the snapshot has no id any more.
            if (GetLastError() != ERROR_INVALID_PARAMETER) whole = false;
            continue;
        }
        if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
            CloseHandle(thread);
            whole = false;
            continue;
        }
        threads_[held++] = thread;
    }
    threads_.resize(held); // shrinking: no allocation, no release
    return whole;
}

void OtherThreads::resume() noexcept {
    for (void* thread : threads_) {
        for (int attempt = 0; attempt < 3; ++attempt)
            if (ResumeThread(static_cast<HANDLE>(thread)) != static_cast<DWORD>(-1)) break;
        CloseHandle(static_cast<HANDLE>(thread));
    }
    threads_.clear(); // keeps the storage; it is released with the object
}

bool OtherThreads::moveInstructionPointers(MoveFunction move, void* context) noexcept {
    bool placed = true;
    for (void* thread : threads_) {
        const HANDLE h = static_cast<HANDLE>(thread);
        CONTEXT c;
        ZeroMemory(&c, sizeof c);
        c.ContextFlags = CONTEXT_CONTROL;
        // GetThreadContext also waits until the suspension has taken effect.
        if (!GetThreadContext(h, &c) && !GetThreadContext(h, &c)) {
            placed = false;
            continue;
        }
#if defined(_M_IX86) || defined(__i386__)
        const std::uintptr_t ip = c.Eip;
#else
        const std::uintptr_t ip = c.Rip;
#endif
        const std::uintptr_t moved = move(ip, context);
        if (moved == ip) continue;
#if defined(_M_IX86) || defined(__i386__)
        c.Eip = static_cast<DWORD>(moved);
#else
        c.Rip = moved;
#endif
        if (!SetThreadContext(h, &c) && !SetThreadContext(h, &c)) placed = false;
    }
    return placed;
}

} // namespace platform
