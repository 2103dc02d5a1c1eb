// Module queries: the executable, the images the loader mapped and the
// system DLLs the stand-ins make up (which load, but hold only the stand-ins).

#include "winhost/call_counts.h"
#include "winhost/pe_image.h"
#include "winhost/process.h"
#include "winhost/stand_ins.h"

#include <strings.h>

#include <cstring>
#include <string>

namespace winhost {
namespace {

constexpr DWORD kFromAddress = 0x4;
constexpr DWORD kUnchangedRefcount = 0x2;
constexpr DWORD kPin = 0x1;

// The system DLLs' handles: distinct values that no code ever reads through.
const char* const kSystemDlls[] = {"kernel32.dll", "user32.dll", "msvcrt.dll"};
char g_systemHandles[3];

HMODULE systemHandle(const char* name) {
    for (int i = 0; i < 3; ++i) {
        const std::size_t n = std::strlen(kSystemDlls[i]) - 4;
        if (strncasecmp(name, kSystemDlls[i], n) == 0 &&
            (name[n] == '\0' || strcasecmp(name + n, ".dll") == 0))
            return &g_systemHandles[i];
    }
    return nullptr;
}

const char* systemDllOf(HMODULE module) {
    for (int i = 0; i < 3; ++i)
        if (module == &g_systemHandles[i]) return kSystemDlls[i];
    return nullptr;
}

// A mapped image named `name`: its file name, any case, ".dll" optional.
Module* imageNamed(const char* name) {
    const char* slash = std::strrchr(name, '\\');
    return moduleNamed(slash != nullptr ? slash + 1 : name);
}

std::string narrow(const WCHAR* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text)
        out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

HMODULE handleNamed(const char* name) {
    if (HMODULE system = systemHandle(name)) return system;
    if (Module* image = imageNamed(name)) return reinterpret_cast<HMODULE>(image->base);
    setLastError(kErrorModNotFound);
    return nullptr;
}

HMODULE WINHOST_API GetModuleHandleA(const char* name) {
    static CallCounter calls("GetModuleHandleA");
    if (calls.failsNow()) {
        setLastError(kErrorModNotFound);
        return nullptr;
    }
    if (name == nullptr) return reinterpret_cast<HMODULE>(executableModule().base);
    return handleNamed(name);
}

HMODULE WINHOST_API GetModuleHandleW(const WCHAR* name) {
    static CallCounter calls("GetModuleHandleW");
    if (calls.failsNow()) {
        setLastError(kErrorModNotFound);
        return nullptr;
    }
    if (name == nullptr) return reinterpret_cast<HMODULE>(executableModule().base);
    return handleNamed(narrow(name).c_str());
}

BOOL WINHOST_API GetModuleHandleExA(DWORD flags, const char* name, HMODULE* out) {
    static CallCounter calls("GetModuleHandleExA");
    if (out != nullptr) *out = nullptr; // whatever fails
    if (out == nullptr || (flags & ~(kFromAddress | kUnchangedRefcount | kPin)) != 0 ||
        (flags & (kPin | kUnchangedRefcount)) == (kPin | kUnchangedRefcount)) {
        setLastError(kErrorInvalidParameter);
        return 0;
    }
    if (calls.failsNow()) {
        setLastError(kErrorModNotFound);
        return 0;
    }
    Module* module = nullptr;
    if (flags & kFromAddress)
        module = moduleAt(reinterpret_cast<std::uintptr_t>(name));
    else if (name == nullptr)
        module = &executableModule();
    else if (HMODULE system = systemHandle(name)) {
        *out = system;
        return 1;
    } else
        module = imageNamed(name);
    if (module == nullptr) {
        setLastError(kErrorModNotFound);
        return 0;
    }
    if (flags & kPin)
        module->pinned = true;
    else if (!(flags & kUnchangedRefcount))
        ++module->references;
    *out = reinterpret_cast<HMODULE>(module->base);
    return 1;
}

// Cuts a path that does not fit, terminated, and says so, as Windows does
// from Vista on.
DWORD WINHOST_API GetModuleFileNameA(HMODULE handle, char* out, DWORD size) {
    static CallCounter calls("GetModuleFileNameA");
    Module* module = handle == nullptr ? &executableModule()
                                       : moduleWithBase(reinterpret_cast<std::uintptr_t>(handle));
    if (calls.failsNow() || module == nullptr) {
        setLastError(kErrorModNotFound);
        return 0;
    }
    if (out == nullptr || size == 0) {
        setLastError(kErrorInsufficientBuffer);
        return 0;
    }
    const std::string& path = module->windowsPath;
    if (path.size() >= size) {
        // Cut to the buffer and not terminated, as Wine (and Windows XP) leave it.
        std::memcpy(out, path.data(), size);
        setLastError(kErrorInsufficientBuffer);
        return size;
    }
    std::memcpy(out, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

HMODULE loadLibrary(const char* name) {
    if (HMODULE system = systemHandle(name)) return system;
    if (Module* image = imageNamed(name)) {
        ++image->references;
        return reinterpret_cast<HMODULE>(image->base);
    }
    setLastError(kErrorModNotFound);
    return nullptr;
}

HMODULE WINHOST_API LoadLibraryA(const char* name) {
    static CallCounter calls("LoadLibraryA");
    if (calls.failsNow() || name == nullptr) {
        setLastError(kErrorModNotFound);
        return nullptr;
    }
    return loadLibrary(name);
}

HMODULE WINHOST_API LoadLibraryW(const WCHAR* name) {
    static CallCounter calls("LoadLibraryW");
    if (calls.failsNow() || name == nullptr) {
        setLastError(kErrorModNotFound);
        return nullptr;
    }
    return loadLibrary(narrow(name).c_str());
}

// The model never unmaps an image on its own: the session ends it.
BOOL WINHOST_API FreeLibrary(HMODULE handle) {
    static CallCounter calls("FreeLibrary");
    if (calls.failsNow()) { // the reference stays
        setLastError(kErrorInvalidHandle);
        return 0;
    }
    if (systemDllOf(handle) != nullptr) return 1;
    Module* module = moduleWithBase(reinterpret_cast<std::uintptr_t>(handle));
    if (module == nullptr || module->references == 0) {
        setLastError(kErrorInvalidHandle);
        return 0;
    }
    if (!module->pinned) --module->references;
    return 1;
}

void* WINHOST_API GetProcAddress(HMODULE handle, const char* name) {
    static CallCounter calls("GetProcAddress");
    void* found = nullptr;
    if (calls.failsNow()) {
        found = nullptr; // as on a system without the function
    } else if (reinterpret_cast<std::uintptr_t>(name) >> 16 == 0) {
        found = nullptr; // by ordinal: the made-up system DLLs have none
    } else if (const char* dll = systemDllOf(handle)) {
        found = findStandIn(dll, name);
    } else if (Module* module = moduleWithBase(reinterpret_cast<std::uintptr_t>(handle))) {
        if (module != &executableModule()) found = findExport(module->base, name);
    }
    if (found == nullptr) setLastError(kErrorProcNotFound);
    return found;
}

BOOL WINHOST_API DisableThreadLibraryCalls(HMODULE handle) {
    static CallCounter calls("DisableThreadLibraryCalls");
    Module* module = moduleWithBase(reinterpret_cast<std::uintptr_t>(handle));
    if (module == nullptr || calls.failsNow()) {
        setLastError(kErrorInvalidHandle);
        return 0;
    }
    module->threadNotifications = false;
    return 1;
}

const StandIn kStandIns[] = {
    {"GetModuleHandleA", reinterpret_cast<void*>(&GetModuleHandleA)},
    {"GetModuleHandleW", reinterpret_cast<void*>(&GetModuleHandleW)},
    {"GetModuleHandleExA", reinterpret_cast<void*>(&GetModuleHandleExA)},
    {"GetModuleFileNameA", reinterpret_cast<void*>(&GetModuleFileNameA)},
    {"LoadLibraryA", reinterpret_cast<void*>(&LoadLibraryA)},
    {"LoadLibraryW", reinterpret_cast<void*>(&LoadLibraryW)},
    {"FreeLibrary", reinterpret_cast<void*>(&FreeLibrary)},
    {"GetProcAddress", reinterpret_cast<void*>(&GetProcAddress)},
    {"DisableThreadLibraryCalls", reinterpret_cast<void*>(&DisableThreadLibraryCalls)},
};

} // namespace

StandInList moduleStandIns() {
    return standIns("kernel32.dll", kStandIns);
}

} // namespace winhost
