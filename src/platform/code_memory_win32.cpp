#include "platform/code_memory.h"

#include <windows.h>
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
    // The thread list and every allocation are made before the first thread
    // stops: a suspended thread may hold the heap lock.
    std::vector<DWORD> ids;
    try {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        if (snapshot == INVALID_HANDLE_VALUE) return false;
        const DWORD process = GetCurrentProcessId();
        const DWORD self = GetCurrentThreadId();
        THREADENTRY32 entry;
        entry.dwSize = sizeof entry;
        if (Thread32First(snapshot, &entry)) {
            do {
                // Entries shorter than the owner field carry no process id.
                if (entry.dwSize >= offsetof(THREADENTRY32, th32OwnerProcessID) + sizeof(DWORD) &&
                    entry.th32OwnerProcessID == process && entry.th32ThreadID != self) {
                    ids.push_back(entry.th32ThreadID);
                }
                entry.dwSize = sizeof entry;
            } while (Thread32Next(snapshot, &entry));
        }
        CloseHandle(snapshot);
        threads_.reserve(ids.size());
    } catch (...) {
        return false;
    }
    for (DWORD id : ids) {
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT |
                                       THREAD_QUERY_INFORMATION,
                                   FALSE, id);
        if (!thread) continue;  // the thread has ended since the snapshot
        if (SuspendThread(thread) == static_cast<DWORD>(-1)) {
            CloseHandle(thread);
            continue;
        }
        threads_.push_back(thread);  // capacity reserved above: no allocation
    }
    return true;
}

void OtherThreads::resume() noexcept {
    for (void* thread : threads_) {
        ResumeThread(static_cast<HANDLE>(thread));
        CloseHandle(static_cast<HANDLE>(thread));
    }
    threads_.clear();
}

void OtherThreads::moveInstructionPointers(MoveFunction move, void* context) noexcept {
    for (void* thread : threads_) {
        CONTEXT c;
        ZeroMemory(&c, sizeof c);
        c.ContextFlags = CONTEXT_CONTROL;
        // GetThreadContext also waits until the suspension has taken effect.
        if (!GetThreadContext(static_cast<HANDLE>(thread), &c)) continue;
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
        SetThreadContext(static_cast<HANDLE>(thread), &c);
    }
}

} // namespace platform
