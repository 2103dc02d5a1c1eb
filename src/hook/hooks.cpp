// The MinHook C API over the trampoline builder: a registry of hooks, and the
// writes that switch a hook between the target's own bytes and a jump to its
// detour. Each entry point takes the engine lock, returns one status and
// never throws.

#include "hook/MinHook.h"
#include "hook/hook_entry.h"
#include "hook/thread_freeze.h"
#include "hook/trampoline.h"
#include "hook/trampoline_pool.h"
#include "platform/code_memory.h"
#include "platform/platform.h"

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

namespace hook {
namespace {

constexpr std::uint32_t kPageExecuteReadWrite = 0x40;

using Hook = HookEntry;

struct Engine {
    bool initialized = false;
    std::vector<Hook> hooks;
    TrampolinePool pool;
};

// Never destroyed: enabled hooks stay for the life of the process, and code
// that runs during exit may still go through their trampolines.
Engine& engine() {
    alignas(Engine) static unsigned char storage[sizeof(Engine)];
    static Engine* instance = new (storage) Engine();
    return *instance;
}

// Hooks are installed rarely and from one thread at a time in practice; the
// lock only keeps two callers from interleaving.
std::atomic_flag engineBusy = ATOMIC_FLAG_INIT;

class EngineLock {
  public:
    EngineLock() {
        while (engineBusy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~EngineLock() { engineBusy.clear(std::memory_order_release); }
    EngineLock(const EngineLock&) = delete;
    EngineLock& operator=(const EngineLock&) = delete;
};

Hook* findHook(const void* target) {
    for (Hook& hook : engine().hooks) {
        if (hook.target == target) return &hook;
    }
    return nullptr;
}

// The executable form of a PAGE_* protection (modifier bits kept). Hook
// targets were found executable when the hook was created, so they must stay
// so even where the reported protection leaves execution out (user-mode
// emulators list code pages of loaded modules as read-only).
std::uint32_t executableForm(std::uint32_t protection) {
    switch (protection & 0xFFu) {
    case 0x01:
        return (protection & ~0xFFu) | 0x10; // no access -> execute
    case 0x02:
        return (protection & ~0xFFu) | 0x20; // read -> execute-read
    case 0x04:
        return (protection & ~0xFFu) | 0x40; // read-write -> execute-read-write
    case 0x08:
        return (protection & ~0xFFu) | 0x80; // write-copy -> execute-write-copy
    default:
        return protection;
    }
}

// Writes code under temporarily writable protection, puts the protection
// back and makes the processor see the new bytes.
MH_STATUS writeCode(std::uint8_t* address, const std::uint8_t* bytes, std::size_t size) {
    std::uint32_t oldProtection = 0;
    if (!platform::protect(address, size, kPageExecuteReadWrite, &oldProtection)) {
        return MH_ERROR_MEMORY_PROTECT;
    }
    std::memcpy(address, bytes, size);
    std::uint32_t ignored = 0;
    platform::protect(address, size, executableForm(oldProtection), &ignored);
    platform::flushInstructionCache(address, size);
    return MH_OK;
}

void jumpToDetour(const Hook& hook, std::uint8_t (&jump)[patchSize]) {
    jump[0] = 0xE9; // E9 xxxxxxxx: JMP +5+xxxxxxxx
    const auto rel =
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hook.detour) -
                                   (reinterpret_cast<std::uintptr_t>(hook.target) + patchSize));
    std::memcpy(jump + 1, &rel, sizeof rel);
}

// The held threads leave the target's first bytes for their copies before
// the jump is written: the trampoline runs the same instructions either way.
// A thread that cannot be placed keeps the hook off, and those already moved
// go back (MH_ERROR_MEMORY_PROTECT: the code cannot be changed safely).
MH_STATUS enable(Hook& hook, platform::OtherThreads& threads) {
    if (!moveThreadsAfterEnable(threads, hook)) {
        moveThreadsAfterDisable(threads, hook);
        return MH_ERROR_MEMORY_PROTECT;
    }
    std::uint8_t jump[patchSize];
    jumpToDetour(hook, jump);
    const MH_STATUS status = writeCode(hook.target, jump, patchSize);
    if (status != MH_OK) return status;
    hook.enabled = true;
    return MH_OK;
}

// The original bytes go back before the held threads leave the trampoline;
// a thread that cannot be moved back keeps the hook on (those already moved
// return to the trampoline first), so that no thread resumes in a trampoline
// that no longer stands for an enabled hook.
MH_STATUS disable(Hook& hook, platform::OtherThreads& threads) {
    const MH_STATUS status = writeCode(hook.target, hook.original, patchSize);
    if (status != MH_OK) return status;
    if (!moveThreadsAfterDisable(threads, hook) && moveThreadsAfterEnable(threads, hook)) {
        std::uint8_t jump[patchSize];
        jumpToDetour(hook, jump);
        if (writeCode(hook.target, jump, patchSize) == MH_OK) return MH_ERROR_MEMORY_PROTECT;
    }
    hook.enabled = false;
    return MH_OK;
}

// Enables (or disables) one hook, or with MH_ALL_HOOKS every hook not yet in
// that state, with the other threads held still.
MH_STATUS setEnabled(void* target, bool enabled) {
    Engine& e = engine();
    if (!e.initialized) return MH_ERROR_NOT_INITIALIZED;
    Hook* one = nullptr;
    if (target != MH_ALL_HOOKS) {
        one = findHook(target);
        if (!one) return MH_ERROR_NOT_CREATED;
        if (one->enabled == enabled) return enabled ? MH_ERROR_ENABLED : MH_ERROR_DISABLED;
    }
    platform::OtherThreads threads;
    // A list the system could not give whole is asked for once more; without
    // one, write anyway: nothing better exists.
    if (!threads.suspend()) threads.suspend();
    if (one) return enabled ? enable(*one, threads) : disable(*one, threads);
    for (Hook& hook : e.hooks) {
        if (hook.enabled == enabled) continue;
        const MH_STATUS status = enabled ? enable(hook, threads) : disable(hook, threads);
        if (status != MH_OK) return status;
    }
    return MH_OK;
}

MH_STATUS createHook(void* pTarget, void* pDetour, void** ppOriginal) {
    Engine& e = engine();
    if (!e.initialized) return MH_ERROR_NOT_INITIALIZED;
    if (!platform::isExecutable(pTarget) || !platform::isExecutable(pDetour)) {
        return MH_ERROR_NOT_EXECUTABLE;
    }
    if (findHook(pTarget)) return MH_ERROR_ALREADY_CREATED;

    try {
        e.hooks.reserve(e.hooks.size() + 1);
    } catch (...) {
        return MH_ERROR_MEMORY_ALLOC;
    }
    std::uint8_t* trampoline = e.pool.allocate();
    if (!trampoline) return MH_ERROR_MEMORY_ALLOC;

    Hook hook{};
    hook.target = static_cast<std::uint8_t*>(pTarget);
    hook.detour = static_cast<std::uint8_t*>(pDetour);
    hook.trampoline = trampoline;
    if (buildTrampoline(hook.target, trampoline, trampolineCapacity, &hook.layout) !=
        TrampolineError::none) {
        e.pool.free(trampoline);
        return MH_ERROR_UNSUPPORTED_FUNCTION;
    }
    platform::flushInstructionCache(trampoline, hook.layout.size);
    std::memcpy(hook.original, hook.target, patchSize);
    hook.enabled = false;
    e.hooks.push_back(hook); // capacity reserved: cannot throw

    if (ppOriginal) *ppOriginal = trampoline;
    return MH_OK;
}

MH_STATUS removeHook(void* pTarget) {
    Engine& e = engine();
    if (!e.initialized) return MH_ERROR_NOT_INITIALIZED;
    Hook* hook = findHook(pTarget);
    if (!hook) return MH_ERROR_NOT_CREATED;
    if (hook->enabled) {
        platform::OtherThreads threads;
        if (!threads.suspend()) threads.suspend();
        const MH_STATUS status = disable(*hook, threads);
        if (status != MH_OK) return status;
    }
    e.pool.free(hook->trampoline);
    e.hooks.erase(e.hooks.begin() + (hook - e.hooks.data()));
    return MH_OK;
}

MH_STATUS uninitialize() {
    Engine& e = engine();
    if (!e.initialized) return MH_ERROR_NOT_INITIALIZED;
    const MH_STATUS status = setEnabled(MH_ALL_HOOKS, false);
    if (status != MH_OK) return status;
    for (const Hook& hook : e.hooks)
        e.pool.free(hook.trampoline);
    e.hooks.clear();
    e.pool.releaseAll();
    e.initialized = false;
    return MH_OK;
}

} // namespace
} // namespace hook

extern "C" {

MH_STATUS WINAPI MH_Initialize(void) {
    hook::EngineLock lock;
    hook::Engine& e = hook::engine();
    if (e.initialized) return MH_ERROR_ALREADY_INITIALIZED;
    e.initialized = true;
    return MH_OK;
}

MH_STATUS WINAPI MH_Uninitialize(void) {
    hook::EngineLock lock;
    return hook::uninitialize();
}

MH_STATUS WINAPI MH_CreateHook(void* pTarget, void* pDetour, void** ppOriginal) {
    hook::EngineLock lock;
    return hook::createHook(pTarget, pDetour, ppOriginal);
}

MH_STATUS WINAPI MH_RemoveHook(void* pTarget) {
    hook::EngineLock lock;
    return hook::removeHook(pTarget);
}

MH_STATUS WINAPI MH_EnableHook(void* pTarget) {
    hook::EngineLock lock;
    return hook::setEnabled(pTarget, true);
}

MH_STATUS WINAPI MH_DisableHook(void* pTarget) {
    hook::EngineLock lock;
    return hook::setEnabled(pTarget, false);
}

const char* WINAPI MH_StatusToString(MH_STATUS status) {
    switch (status) {
    case MH_UNKNOWN:
        return "MH_UNKNOWN";
    case MH_OK:
        return "MH_OK";
    case MH_ERROR_ALREADY_INITIALIZED:
        return "MH_ERROR_ALREADY_INITIALIZED";
    case MH_ERROR_NOT_INITIALIZED:
        return "MH_ERROR_NOT_INITIALIZED";
    case MH_ERROR_ALREADY_CREATED:
        return "MH_ERROR_ALREADY_CREATED";
    case MH_ERROR_NOT_CREATED:
        return "MH_ERROR_NOT_CREATED";
    case MH_ERROR_ENABLED:
        return "MH_ERROR_ENABLED";
    case MH_ERROR_DISABLED:
        return "MH_ERROR_DISABLED";
    case MH_ERROR_NOT_EXECUTABLE:
        return "MH_ERROR_NOT_EXECUTABLE";
    case MH_ERROR_UNSUPPORTED_FUNCTION:
        return "MH_ERROR_UNSUPPORTED_FUNCTION";
    case MH_ERROR_MEMORY_ALLOC:
        return "MH_ERROR_MEMORY_ALLOC";
    case MH_ERROR_MEMORY_PROTECT:
        return "MH_ERROR_MEMORY_PROTECT";
    case MH_ERROR_MODULE_NOT_FOUND:
        return "MH_ERROR_MODULE_NOT_FOUND";
    case MH_ERROR_FUNCTION_NOT_FOUND:
        return "MH_ERROR_FUNCTION_NOT_FOUND";
    }
    return "(unknown)";
}

} // extern "C"
