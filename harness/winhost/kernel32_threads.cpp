// Thread listing, suspension and register contexts over the modelled
// threads: the caller plus the game threads a test added.

#include "winhost/call_counts.h"
#include "winhost/game_threads.h"
#include "winhost/handles.h"
#include "winhost/process.h"
#include "winhost/stand_ins.h"
#include "winhost/thread_block.h"

#include <cstring>

namespace winhost {
namespace {

constexpr std::size_t kMaxThreads = 8;
constexpr DWORD kFirstGameThread = 0x1000;
constexpr DWORD kErrorBadLength = 24;

struct GameThread {
    DWORD id = 0;
    DWORD suspended = 0;
    Context context{};
};
GameThread g_threads[kMaxThreads];
DWORD g_nextId = kFirstGameThread;

GameThread* threadWithId(DWORD id) {
    for (GameThread& t : g_threads)
        if (t.id != 0 && t.id == id) return &t;
    return nullptr;
}

GameThread* threadOf(HANDLE handle) {
    const KernelObject* o = objectOf(handle, HandleKind::Thread);
    return o != nullptr ? threadWithId(o->threadId) : nullptr;
}

DWORD currentProcessId() {
    return threadBlock().processId;
}
DWORD currentThreadId() {
    return threadBlock().threadId;
}

// Copies the register groups `flags` selects.
void copyContext(Context& to, const Context& from, DWORD flags) {
    if ((flags & kContextControl) == kContextControl) {
        to.ebp = from.ebp;
        to.eip = from.eip;
        to.segCs = from.segCs;
        to.eflags = from.eflags;
        to.esp = from.esp;
        to.segSs = from.segSs;
    }
    if ((flags & kContextInteger) == kContextInteger) {
        to.edi = from.edi;
        to.esi = from.esi;
        to.ebx = from.ebx;
        to.edx = from.edx;
        to.ecx = from.ecx;
        to.eax = from.eax;
    }
    if ((flags & kContextSegments) == kContextSegments) {
        to.segGs = from.segGs;
        to.segFs = from.segFs;
        to.segEs = from.segEs;
        to.segDs = from.segDs;
    }
}

// Lists every thread of the process, and one of another process that the
// caller has to leave alone.
HANDLE WINHOST_API CreateToolhelp32Snapshot(DWORD flags, DWORD) {
    static CallCounter calls("CreateToolhelp32Snapshot");
    const bool failed = calls.failsNow();
    if (failed || !(flags & kSnapThread)) {
        setLastError(failed ? kErrorNotEnoughMemory : kErrorInvalidParameter);
        return kInvalidHandle;
    }
    KernelObject snapshot;
    snapshot.kind = HandleKind::Snapshot;
    snapshot.snapshot[0] = 4; // the system's idle thread
    snapshot.owners[0] = 0;
    snapshot.snapshot[1] = currentThreadId();
    snapshot.owners[1] = currentProcessId();
    snapshot.count = 2;
    for (const GameThread& t : g_threads)
        if (t.id != 0) {
            snapshot.snapshot[snapshot.count] = t.id;
            snapshot.owners[snapshot.count++] = currentProcessId();
        }
    HANDLE h = newHandle(snapshot);
    if (h == nullptr) {
        setLastError(kErrorNotEnoughMemory);
        return kInvalidHandle;
    }
    return h;
}

BOOL nextThread(HANDLE handle, ThreadEntry32* entry, bool first) {
    KernelObject* s = objectOf(handle, HandleKind::Snapshot);
    if (s == nullptr) {
        setLastError(kErrorInvalidHandle);
        return 0;
    }
    if (entry == nullptr || entry->size < sizeof *entry) {
        setLastError(kErrorBadLength);
        return 0;
    }
    if (first) s->next = 0;
    if (s->next >= s->count) {
        setLastError(kErrorNoMoreFiles);
        return 0;
    }
    std::memset(entry, 0, sizeof *entry);
    entry->size = sizeof *entry;
    entry->threadId = s->snapshot[s->next];
    entry->ownerProcessId = s->owners[s->next];
    entry->basePriority = 8;
    ++s->next;
    return 1;
}

BOOL WINHOST_API Thread32First(HANDLE snapshot, ThreadEntry32* entry) {
    static CallCounter calls("Thread32First");
    if (calls.failsNow()) { // not the end of the list: the system ran short
        setLastError(kErrorNotEnoughMemory);
        return 0;
    }
    return nextThread(snapshot, entry, true);
}

BOOL WINHOST_API Thread32Next(HANDLE snapshot, ThreadEntry32* entry) {
    static CallCounter calls("Thread32Next");
    if (calls.failsNow()) {
        setLastError(kErrorNotEnoughMemory);
        return 0;
    }
    return nextThread(snapshot, entry, false);
}

// Only the game threads can be opened: the caller holding itself would
// never come back, and the other process's thread is not ours to touch.
HANDLE WINHOST_API OpenThread(DWORD, BOOL, DWORD id) {
    static CallCounter calls("OpenThread");
    if (calls.failsNow()) {
        setLastError(kErrorAccessDenied);
        return nullptr;
    }
    if (threadWithId(id) == nullptr) {
        setLastError(id == currentThreadId() ? kErrorAccessDenied : kErrorInvalidParameter);
        return nullptr;
    }
    KernelObject thread;
    thread.kind = HandleKind::Thread;
    thread.threadId = id;
    HANDLE h = newHandle(thread);
    if (h == nullptr) setLastError(kErrorNotEnoughMemory);
    return h;
}

DWORD WINHOST_API SuspendThread(HANDLE handle) {
    static CallCounter calls("SuspendThread");
    GameThread* t = threadOf(handle);
    if (t == nullptr || calls.failsNow()) {
        setLastError(t == nullptr ? kErrorInvalidHandle : kErrorAccessDenied);
        return ~DWORD(0);
    }
    return t->suspended++;
}

DWORD WINHOST_API ResumeThread(HANDLE handle) {
    static CallCounter calls("ResumeThread");
    GameThread* t = threadOf(handle);
    if (t == nullptr || calls.failsNow()) { // the thread stays held
        setLastError(t == nullptr ? kErrorInvalidHandle : kErrorAccessDenied);
        return ~DWORD(0);
    }
    const DWORD previous = t->suspended;
    if (t->suspended > 0) --t->suspended;
    return previous;
}

BOOL WINHOST_API GetThreadContext(HANDLE handle, Context* context) {
    static CallCounter calls("GetThreadContext");
    GameThread* t = threadOf(handle);
    if (t == nullptr || context == nullptr || calls.failsNow()) {
        setLastError(t == nullptr ? kErrorInvalidHandle : kErrorInvalidParameter);
        return 0;
    }
    copyContext(*context, t->context, context->contextFlags);
    return 1;
}

BOOL WINHOST_API SetThreadContext(HANDLE handle, const Context* context) {
    static CallCounter calls("SetThreadContext");
    GameThread* t = threadOf(handle);
    if (t == nullptr || context == nullptr || calls.failsNow()) {
        setLastError(t == nullptr ? kErrorInvalidHandle : kErrorInvalidParameter);
        return 0;
    }
    copyContext(t->context, *context, context->contextFlags);
    return 1;
}

DWORD WINHOST_API GetCurrentThreadId() {
    static CallCounter calls("GetCurrentThreadId", Failure::None);
    calls.failsNow();
    return currentThreadId();
}

DWORD WINHOST_API GetCurrentProcessId() {
    static CallCounter calls("GetCurrentProcessId", Failure::None);
    calls.failsNow();
    return currentProcessId();
}

const StandIn kStandIns[] = {
    {"CreateToolhelp32Snapshot", reinterpret_cast<void*>(&CreateToolhelp32Snapshot)},
    {"Thread32First", reinterpret_cast<void*>(&Thread32First)},
    {"Thread32Next", reinterpret_cast<void*>(&Thread32Next)},
    {"OpenThread", reinterpret_cast<void*>(&OpenThread)},
    {"SuspendThread", reinterpret_cast<void*>(&SuspendThread)},
    {"ResumeThread", reinterpret_cast<void*>(&ResumeThread)},
    {"GetThreadContext", reinterpret_cast<void*>(&GetThreadContext)},
    {"SetThreadContext", reinterpret_cast<void*>(&SetThreadContext)},
    {"GetCurrentThreadId", reinterpret_cast<void*>(&GetCurrentThreadId)},
    {"GetCurrentProcessId", reinterpret_cast<void*>(&GetCurrentProcessId)},
};

} // namespace

StandInList threadStandIns() {
    return standIns("kernel32.dll", kStandIns);
}

DWORD addGameThread(const Context& context) {
    for (GameThread& t : g_threads)
        if (t.id == 0) {
            t.id = g_nextId++;
            t.suspended = 0;
            t.context = context;
            return t.id;
        }
    return 0;
}

Context gameThreadContext(DWORD id) {
    const GameThread* t = threadWithId(id);
    return t != nullptr ? t->context : Context{};
}

DWORD suspendCount(DWORD id) {
    const GameThread* t = threadWithId(id);
    return t != nullptr ? t->suspended : 0;
}

void removeGameThreads() {
    for (GameThread& t : g_threads)
        t = GameThread{};
}

} // namespace winhost
