// What a test changes of the system the plug-ins see, through the same
// platform::testing calls that drive the POSIX platform layer's test state:
// the substitute host sets the clock and presses keys, sessions move the
// executable's base or make the module's pin fail. The clock is the game's
// own (system time cannot be set); keys are real input to the program's
// desktop; everything else is a binding of the plug-ins' import that passes
// each call on to Wine unless the test armed its failure.

#include "platform/platform.h"
#include "wingame/game_process.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace wingame {
namespace {

std::atomic<DWORD> g_clock{0};

DWORD WINAPI gameTickCount() {
    return g_clock.load();
}

// ---- calls that can fail -------------------------------------------------------------

struct Failable {
    const char* name;
    void* binding;
    void* system; // Wine's function, found on first use
    std::uint32_t uses;
    std::uint32_t failAt; // 0: never
    bool bound;
};

std::uintptr_t g_baseOverride = 0; // 0: the real base
bool g_pinFails = false;
constexpr int kMaxRefused = 8;
std::uintptr_t g_refusedPages[kMaxRefused];
int g_refusedCount = 0;

Failable& entry(int i);

// Counts one use; true when it is the use armed to fail.
bool failsNow(int i) {
    Failable& f = entry(i);
    ++f.uses;
    if (f.failAt != 0 && f.uses == f.failAt) {
        f.failAt = 0;
        return true;
    }
    return false;
}

enum {
    kGetModuleHandleA,
    kGetModuleHandleExA,
    kVirtualProtect,
    kCreateFileA,
    kSetThreadContext,
    kCount
};

template <class Fn> Fn real(int i) {
    Failable& f = entry(i);
    if (f.system == nullptr) f.system = systemFunction("kernel32.dll", f.name);
    return reinterpret_cast<Fn>(f.system);
}

HMODULE WINAPI getModuleHandleA(LPCSTR name) {
    if (failsNow(kGetModuleHandleA)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (name == nullptr && g_baseOverride != 0) return reinterpret_cast<HMODULE>(g_baseOverride);
    return real<HMODULE(WINAPI*)(LPCSTR)>(kGetModuleHandleA)(name);
}

BOOL WINAPI getModuleHandleExA(DWORD flags, LPCSTR name, HMODULE* module) {
    const bool pin = (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0;
    if (failsNow(kGetModuleHandleExA) || (pin && g_pinFails)) {
        if (module != nullptr) *module = nullptr;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return real<BOOL(WINAPI*)(DWORD, LPCSTR, HMODULE*)>(kGetModuleHandleExA)(flags, name, module);
}

bool touchesRefusedPage(const void* address, SIZE_T size) {
    const auto first = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t(0xFFF);
    const auto last = (reinterpret_cast<std::uintptr_t>(address) + (size ? size - 1 : 0)) &
                      ~std::uintptr_t(0xFFF);
    for (int i = 0; i < g_refusedCount; ++i)
        if (g_refusedPages[i] >= first && g_refusedPages[i] <= last) return true;
    return false;
}

BOOL WINAPI virtualProtect(void* address, SIZE_T size, DWORD protection, DWORD* old) {
    if (failsNow(kVirtualProtect) || touchesRefusedPage(address, size)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return real<BOOL(WINAPI*)(void*, SIZE_T, DWORD, DWORD*)>(kVirtualProtect)(address, size,
                                                                              protection, old);
}

HANDLE WINAPI createFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                          DWORD disposition, DWORD attributes, HANDLE pattern) {
    if (failsNow(kCreateFileA)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return real<HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE)>(
        kCreateFileA)(name, access, share, security, disposition, attributes, pattern);
}

// A thread the hook engine moves; its failure leaves the thread where it was.
BOOL WINAPI setThreadContext(HANDLE thread, const CONTEXT* context) {
    if (failsNow(kSetThreadContext)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return real<BOOL(WINAPI*)(HANDLE, const CONTEXT*)>(kSetThreadContext)(thread, context);
}

Failable g_failable[kCount] = {
    {"GetModuleHandleA", reinterpret_cast<void*>(&getModuleHandleA), nullptr, 0, 0, false},
    {"GetModuleHandleExA", reinterpret_cast<void*>(&getModuleHandleExA), nullptr, 0, 0, false},
    {"VirtualProtect", reinterpret_cast<void*>(&virtualProtect), nullptr, 0, 0, false},
    {"CreateFileA", reinterpret_cast<void*>(&createFileA), nullptr, 0, 0, false},
    {"SetThreadContext", reinterpret_cast<void*>(&setThreadContext), nullptr, 0, 0, false},
};

Failable& entry(int i) {
    return g_failable[i];
}

int indexOf(const char* name) {
    for (int i = 0; i < kCount; ++i)
        if (std::strcmp(g_failable[i].name, name) == 0) return i;
    return -1;
}

void ensureBound(int i) {
    Failable& f = g_failable[i];
    if (f.bound) return;
    f.bound = true;
    bindPluginImport("kernel32.dll", f.name, f.binding);
}

} // namespace

void bindClock() {
    bindPluginImport("kernel32.dll", "GetTickCount", reinterpret_cast<void*>(&gameTickCount));
}

bool failOnUse(const char* name, std::uint32_t nth) {
    const int i = indexOf(name);
    if (i < 0) return false;
    if (nth != 0) ensureBound(i);
    g_failable[i].failAt = nth == 0 ? 0 : g_failable[i].uses + nth;
    return true;
}

bool countUses(const char* name) {
    const int i = indexOf(name);
    if (i < 0) return false;
    ensureBound(i);
    return true;
}

std::uint32_t uses(const char* name) {
    const int i = indexOf(name);
    return i < 0 ? 0 : g_failable[i].uses;
}

void refuseProtection(std::uintptr_t address) {
    if (g_refusedCount < kMaxRefused)
        g_refusedPages[g_refusedCount++] = address & ~std::uintptr_t(0xFFF);
    ensureBound(kVirtualProtect);
}

} // namespace wingame

namespace platform::testing {

void setTickCount(std::uint32_t ms) {
    wingame::g_clock.store(ms);
}

// Real input: the key reaches the program's desktop as a player's would.
void setKeyDown(int virtualKey, bool down) {
    if (!wingame::hasOwnDesktop())
        std::fputs("game: no desktop of its own; keys reach every program of the run\n", stderr);
    keybd_event(static_cast<BYTE>(virtualKey), 0, down ? 0 : KEYEVENTF_KEYUP, 0);
}

void setExecutableBase(std::uintptr_t base) {
    const auto actual = reinterpret_cast<std::uintptr_t>(
        wingame::real<HMODULE(WINAPI*)(LPCSTR)>(wingame::kGetModuleHandleA)(nullptr));
    wingame::g_baseOverride = base == actual ? 0 : base;
    if (wingame::g_baseOverride != 0) wingame::ensureBound(wingame::kGetModuleHandleA);
}

void setModulePinFails(bool fails) {
    wingame::g_pinFails = fails;
    if (fails) wingame::ensureBound(wingame::kGetModuleHandleExA);
}

} // namespace platform::testing
