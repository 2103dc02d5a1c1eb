#pragma once

// Inline hooks on x86-32 functions behind the MinHook C API. The plug-in is
// written against this interface only, so an installed MinHook package can
// take the engine's place without a change to the callers (bw_hook then
// defines BW_USE_INSTALLED_MINHOOK and this header forwards to the package's).

#if defined(BW_USE_INSTALLED_MINHOOK)
#include <MinHook.h>
#else

#include <stddef.h>

#if defined(_WIN32)
#include <windows.h>
#elif !defined(WINAPI)
#if defined(__i386__)
#define WINAPI __attribute__((stdcall))
#else
#define WINAPI
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum MH_STATUS {
    MH_UNKNOWN = -1,               // unknown error; should not be returned
    MH_OK = 0,                     // successful
    MH_ERROR_ALREADY_INITIALIZED,  // MH_Initialize called twice
    MH_ERROR_NOT_INITIALIZED,      // called before MH_Initialize
    MH_ERROR_ALREADY_CREATED,      // the target already has a hook
    MH_ERROR_NOT_CREATED,          // the target has no hook
    MH_ERROR_ENABLED,              // the hook is already enabled
    MH_ERROR_DISABLED,             // the hook is not enabled
    MH_ERROR_NOT_EXECUTABLE,       // target or detour is not executable memory
    MH_ERROR_UNSUPPORTED_FUNCTION, // the target's first bytes cannot be moved
    MH_ERROR_MEMORY_ALLOC,         // no memory for the trampoline
    MH_ERROR_MEMORY_PROTECT,       // the target's page protection cannot change
    MH_ERROR_MODULE_NOT_FOUND,     // (module look-up; not used by this engine)
    MH_ERROR_FUNCTION_NOT_FOUND    // (export look-up; not used by this engine)
} MH_STATUS;

// Passed to MH_EnableHook / MH_DisableHook: every created hook at once.
#define MH_ALL_HOOKS NULL

// Starts the engine. MH_ERROR_ALREADY_INITIALIZED when it already runs.
MH_STATUS WINAPI MH_Initialize(void);

// Disables and removes every hook and stops the engine.
MH_STATUS WINAPI MH_Uninitialize(void);

// Creates a disabled hook on pTarget that will lead to pDetour. When
// ppOriginal is not NULL it receives the trampoline: calling it runs the
// target's original code.
MH_STATUS WINAPI MH_CreateHook(void* pTarget, void* pDetour, void** ppOriginal);

// Disables the hook when enabled, then removes it and frees its trampoline.
MH_STATUS WINAPI MH_RemoveHook(void* pTarget);

// Writes the jump to the detour (MH_ALL_HOOKS: every disabled hook).
MH_STATUS WINAPI MH_EnableHook(void* pTarget);

// Puts the target's original bytes back (MH_ALL_HOOKS: every enabled hook).
MH_STATUS WINAPI MH_DisableHook(void* pTarget);

// The enumerator's name ("MH_OK", ...), or "(unknown)" for any other value.
const char* WINAPI MH_StatusToString(MH_STATUS status);

#ifdef __cplusplus
}
#endif

#endif // BW_USE_INSTALLED_MINHOOK
