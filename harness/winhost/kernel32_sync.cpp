// Locks, thread-local slots, semaphores and the last error, correct for the
// process's one thread.

#include "winhost/call_counts.h"
#include "winhost/handles.h"
#include "winhost/process.h"
#include "winhost/stand_ins.h"
#include "winhost/thread_block.h"

namespace winhost {
namespace {

constexpr DWORD kTlsOutOfIndexes = 0xFFFFFFFFu;
constexpr std::size_t kTlsSlots = 64;
constexpr DWORD kInfinite = 0xFFFFFFFFu;
constexpr DWORD kWaitObject0 = 0, kWaitTimeout = 0x102, kWaitFailed = 0xFFFFFFFFu;
constexpr DWORD kErrorPossibleDeadlock = 1131;

bool g_slotUsed[kTlsSlots];
void* g_slotValue[kTlsSlots];

HANDLE currentThread() {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(threadBlock().threadId));
}

void WINHOST_API InitializeCriticalSection(CriticalSection* cs) {
    static CallCounter calls("InitializeCriticalSection", Failure::None);
    calls.failsNow();
    *cs = CriticalSection{};
    cs->lockCount = -1;
}

void WINHOST_API DeleteCriticalSection(CriticalSection* cs) {
    static CallCounter calls("DeleteCriticalSection", Failure::None);
    calls.failsNow();
    *cs = CriticalSection{};
}

// Recursive for its owner; with one thread, entering always succeeds.
void WINHOST_API EnterCriticalSection(CriticalSection* cs) {
    static CallCounter calls("EnterCriticalSection", Failure::None);
    calls.failsNow();
    ++cs->lockCount;
    ++cs->recursionCount;
    cs->owningThread = currentThread();
}

void WINHOST_API LeaveCriticalSection(CriticalSection* cs) {
    static CallCounter calls("LeaveCriticalSection", Failure::None);
    calls.failsNow();
    if (cs->recursionCount <= 0) return; // leaving an unowned section is the caller's fault
    --cs->lockCount;
    if (--cs->recursionCount == 0) cs->owningThread = nullptr;
}

DWORD WINHOST_API TlsAlloc() {
    static CallCounter calls("TlsAlloc");
    if (!calls.failsNow())
        for (std::size_t i = 0; i < kTlsSlots; ++i)
            if (!g_slotUsed[i]) {
                g_slotUsed[i] = true;
                g_slotValue[i] = nullptr;
                return static_cast<DWORD>(i);
            }
    setLastError(kErrorNotEnoughMemory);
    return kTlsOutOfIndexes;
}

BOOL WINHOST_API TlsFree(DWORD index) {
    static CallCounter calls("TlsFree");
    if (calls.failsNow() || index >= kTlsSlots || !g_slotUsed[index]) {
        setLastError(kErrorInvalidParameter);
        return 0;
    }
    g_slotUsed[index] = false;
    return 1;
}

// Clears the last error on success, so that a null value can be told apart.
// An index in use is always read.
void* WINHOST_API TlsGetValue(DWORD index) {
    static CallCounter calls("TlsGetValue", Failure::None);
    calls.failsNow();
    if (index >= kTlsSlots) {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    setLastError(0);
    return g_slotValue[index];
}

BOOL WINHOST_API TlsSetValue(DWORD index, void* value) {
    static CallCounter calls("TlsSetValue");
    if (calls.failsNow() || index >= kTlsSlots) {
        setLastError(kErrorInvalidParameter);
        return 0;
    }
    g_slotValue[index] = value;
    return 1;
}

HANDLE WINHOST_API CreateSemaphoreW(void*, LONG initial, LONG maximum, const WCHAR* name) {
    static CallCounter calls("CreateSemaphoreW");
    if (maximum <= 0 || initial < 0 || initial > maximum || name != nullptr) {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    KernelObject semaphore;
    semaphore.kind = HandleKind::Semaphore;
    semaphore.semaphoreCount = initial;
    semaphore.semaphoreMax = maximum;
    HANDLE h = calls.failsNow() ? nullptr : newHandle(semaphore);
    if (h == nullptr) setLastError(kErrorNotEnoughMemory);
    return h;
}

BOOL WINHOST_API ReleaseSemaphore(HANDLE handle, LONG count, LONG* previous) {
    static CallCounter calls("ReleaseSemaphore");
    KernelObject* s = objectOf(handle, HandleKind::Semaphore);
    if (s == nullptr || count <= 0) {
        setLastError(s == nullptr ? kErrorInvalidHandle : kErrorInvalidParameter);
        return 0;
    }
    if (calls.failsNow()) {
        setLastError(kErrorNotEnoughMemory);
        return 0;
    }
    if (count > s->semaphoreMax - s->semaphoreCount) {
        setLastError(kErrorTooManyPosts);
        return 0;
    }
    if (previous != nullptr) *previous = s->semaphoreCount;
    s->semaphoreCount += count;
    return 1;
}

// No other thread can release what this one waits for: an empty semaphore
// times out at once, and an endless wait on it is reported, not hung.
DWORD WINHOST_API WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    static CallCounter calls("WaitForSingleObject");
    KernelObject* s = objectOf(handle, HandleKind::Semaphore);
    if (s == nullptr || calls.failsNow()) {
        setLastError(kErrorInvalidHandle);
        return kWaitFailed;
    }
    if (s->semaphoreCount > 0) {
        --s->semaphoreCount;
        return kWaitObject0;
    }
    if (milliseconds != kInfinite) return kWaitTimeout;
    setLastError(kErrorPossibleDeadlock);
    return kWaitFailed;
}

DWORD WINHOST_API GetLastError() {
    static CallCounter calls("GetLastError", Failure::None);
    calls.failsNow();
    return lastError();
}

void WINHOST_API SetLastError(DWORD error) {
    static CallCounter calls("SetLastError", Failure::None);
    calls.failsNow();
    setLastError(error);
}

const StandIn kStandIns[] = {
    {"InitializeCriticalSection", reinterpret_cast<void*>(&InitializeCriticalSection)},
    {"DeleteCriticalSection", reinterpret_cast<void*>(&DeleteCriticalSection)},
    {"EnterCriticalSection", reinterpret_cast<void*>(&EnterCriticalSection)},
    {"LeaveCriticalSection", reinterpret_cast<void*>(&LeaveCriticalSection)},
    {"TlsAlloc", reinterpret_cast<void*>(&TlsAlloc)},
    {"TlsFree", reinterpret_cast<void*>(&TlsFree)},
    {"TlsGetValue", reinterpret_cast<void*>(&TlsGetValue)},
    {"TlsSetValue", reinterpret_cast<void*>(&TlsSetValue)},
    {"CreateSemaphoreW", reinterpret_cast<void*>(&CreateSemaphoreW)},
    {"ReleaseSemaphore", reinterpret_cast<void*>(&ReleaseSemaphore)},
    {"WaitForSingleObject", reinterpret_cast<void*>(&WaitForSingleObject)},
    {"GetLastError", reinterpret_cast<void*>(&GetLastError)},
    {"SetLastError", reinterpret_cast<void*>(&SetLastError)},
};

} // namespace

StandInList syncStandIns() {
    return standIns("kernel32.dll", kStandIns);
}

} // namespace winhost
