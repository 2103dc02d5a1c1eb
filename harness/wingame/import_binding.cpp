// Rebinding a plug-in's imports. Wine binds every import of a module when it
// loads it; the system's loader notification (LdrRegisterDllNotification,
// documented for Windows Vista and later, and implemented by Wine) reaches
// us after that and before the module's entry runs, so a binding armed
// before the load holds from the plug-in's first instruction. The slots are
// found through the PE import directory, as the format documents it.

#include "wingame/game_process.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace wingame {
namespace {

struct UnicodeText {
    USHORT length, capacity;
    PWSTR text;
};
struct LoadedModule {
    ULONG flags;
    const UnicodeText* fullName;
    const UnicodeText* baseName;
    void* base;
    ULONG size;
};
constexpr ULONG kLoaded = 1, kUnloaded = 2;
using Notification = void(CALLBACK*)(ULONG reason, const LoadedModule* module, void* context);
using RegisterNotification = LONG(NTAPI*)(ULONG flags, Notification callback, void* context,
                                          void** cookie);

struct Binding {
    const char* dll;
    const char* name;
    void* to;
};
constexpr int kMaxBindings = 16;
Binding g_bindings[kMaxBindings];
int g_bindingCount = 0;
constexpr int kMaxPlugins = 8;
HMODULE g_plugins[kMaxPlugins];
int g_pluginCount = 0;

bool sameName(const char* a, const char* b) {
    return lstrcmpiA(a, b) == 0;
}

// The import slot of `dll`!`name` in `module`, null when it has none.
void** importSlot(HMODULE module, const char* dll, const char* name) {
    auto* base = reinterpret_cast<unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return nullptr;
    for (auto* d =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         d->Name != 0; ++d) {
        if (!sameName(reinterpret_cast<const char*>(base + d->Name), dll)) continue;
        const DWORD names = d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk;
        auto* entry = reinterpret_cast<const IMAGE_THUNK_DATA32*>(base + names);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + d->FirstThunk);
        for (; entry->u1.AddressOfData != 0; ++entry, ++slot) {
            if ((entry->u1.Ordinal & IMAGE_ORDINAL_FLAG32) != 0) continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + entry->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) == 0)
                return reinterpret_cast<void**>(&slot->u1.Function);
        }
    }
    return nullptr;
}

bool rebind(HMODULE module, const Binding& b) {
    void** slot = importSlot(module, b.dll, b.name);
    if (slot == nullptr) return false;
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) return false;
    *slot = b.to;
    VirtualProtect(slot, sizeof *slot, old, &old);
    return true;
}

bool isPlugin(const UnicodeText* name) {
    if (name == nullptr || name->text == nullptr) return false;
    const std::size_t n = name->length / sizeof(WCHAR);
    return n >= 4 && _wcsnicmp(name->text + n - 4, L".asi", 4) == 0;
}

void CALLBACK onModuleLoaded(ULONG reason, const LoadedModule* module, void*) {
    if (module == nullptr || !isPlugin(module->fullName)) return;
    HMODULE plugin = static_cast<HMODULE>(module->base);
    if (reason == kUnloaded) {
        for (int p = 0; p < g_pluginCount; ++p)
            if (g_plugins[p] == plugin) g_plugins[p--] = g_plugins[--g_pluginCount];
        return;
    }
    if (reason != kLoaded) return;
    if (g_pluginCount < kMaxPlugins) g_plugins[g_pluginCount++] = plugin;
    for (int i = 0; i < g_bindingCount; ++i)
        rebind(plugin, g_bindings[i]);
}

} // namespace

// The game's clock for every plug-in (test_state.cpp).
void bindClock();

void watchPluginLoads() {
    auto registerNotification = reinterpret_cast<RegisterNotification>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrRegisterDllNotification")));
    void* cookie = nullptr;
    if (registerNotification == nullptr ||
        registerNotification(0, &onModuleLoaded, nullptr, &cookie) != 0) {
        // Without it no plug-in would see the game's clock: stop here.
        std::fputs("game: the system has no loader notification\n", stderr);
        ExitProcess(3);
    }
    bindClock();
}

bool bindPluginImport(const char* dll, const char* name, void* to) {
    int i = 0;
    while (i < g_bindingCount &&
           !(sameName(g_bindings[i].dll, dll) && std::strcmp(g_bindings[i].name, name) == 0))
        ++i;
    if (i == kMaxBindings) return false;
    g_bindings[i] = Binding{dll, name, to};
    if (i == g_bindingCount) ++g_bindingCount;
    bool any = false;
    for (int p = 0; p < g_pluginCount; ++p)
        any = rebind(g_plugins[p], g_bindings[i]) || any;
    return any;
}

void* systemFunction(const char* dll, const char* name) {
    HMODULE module = GetModuleHandleA(dll);
    if (module == nullptr) module = LoadLibraryA(dll);
    return module != nullptr ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}

} // namespace wingame
