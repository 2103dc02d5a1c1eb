// Win32 implementation of the OS layer: the product's calls, used as named.

#include "platform/platform.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

std::atomic<void (*)(const FaultInfo&)> g_reporter{nullptr};
std::atomic<bool> g_handlerAdded{false};

DWORD boundedSize(std::size_t size) {
    return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(size);
}

// GetModuleFileNameA into `out`; false when it fails or the path was cut.
bool fileNameOf(HMODULE module, char* out, std::size_t size) {
    if (out == nullptr || size == 0) return false;
    DWORD capacity = boundedSize(size);
    DWORD n = GetModuleFileNameA(module, out, capacity);
    out[capacity - 1] = '\0'; // older systems leave a cut path unterminated
    if (n == 0 || n >= capacity) {
        out[0] = '\0';
        return false;
    }
    return true;
}

// Windows guarantees only 4-byte stack alignment here; the handler's SSE code
// must not rely on more.
#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
LONG CALLBACK onException(PEXCEPTION_POINTERS pointers) {
    void (*reporter)(const FaultInfo&) = g_reporter.load();
    if (reporter == nullptr || pointers == nullptr || pointers->ExceptionRecord == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    FaultInfo f{};
    f.code = record->ExceptionCode;
    f.address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
    f.parameterCount = record->NumberParameters;
    for (DWORD i = 0; i < 2 && i < record->NumberParameters; ++i)
        f.parameters[i] = static_cast<std::uintptr_t>(record->ExceptionInformation[i]);
    if (const CONTEXT* c = pointers->ContextRecord) {
#if defined(_M_IX86) || defined(__i386__)
        f.eax = c->Eax;
        f.ebx = c->Ebx;
        f.ecx = c->Ecx;
        f.edx = c->Edx;
        f.esi = c->Esi;
        f.edi = c->Edi;
        f.ebp = c->Ebp;
        f.esp = c->Esp;
#else
        f.eax = static_cast<std::uint32_t>(c->Rax);
        f.ebx = static_cast<std::uint32_t>(c->Rbx);
        f.ecx = static_cast<std::uint32_t>(c->Rcx);
        f.edx = static_cast<std::uint32_t>(c->Rdx);
        f.esi = static_cast<std::uint32_t>(c->Rsi);
        f.edi = static_cast<std::uint32_t>(c->Rdi);
        f.ebp = static_cast<std::uint32_t>(c->Rbp);
        f.esp = static_cast<std::uint32_t>(c->Rsp);
#endif
    }
    reporter(f);
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

// ---- module --------------------------------------------------------------------

void disableThreadNotifications(void* module) {
    DisableThreadLibraryCalls(static_cast<HMODULE>(module));
}

bool ownModulePath(char* out, std::size_t size, void* module) {
    if (out == nullptr || size == 0) return false;
    out[0] = '\0';
    HMODULE self = static_cast<HMODULE>(module);
    if (self == nullptr && !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                   GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                               reinterpret_cast<LPCSTR>(&ownModulePath), &self))
        return false;
    return fileNameOf(self, out, size);
}

bool pinOwnModule() {
    HMODULE self = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN;
    return GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&pinOwnModule), &self) != 0;
}

std::uintptr_t executableBase() {
    return reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr));
}

bool moduleAt(std::uintptr_t address, std::uintptr_t* base, char* path, std::size_t size) {
    if (base != nullptr) *base = 0;
    if (path != nullptr && size > 0) path[0] = '\0';
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(address), &module) ||
        module == nullptr)
        return false;
    if (base != nullptr) *base = reinterpret_cast<std::uintptr_t>(module);
    if (path != nullptr && size > 0) fileNameOf(module, path, size);
    return true;
}

// ---- memory ----------------------------------------------------------------------

bool queryRegion(std::uintptr_t address, MemoryRegion* region) {
    if (region == nullptr) return false;
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(reinterpret_cast<LPCVOID>(address), &info, sizeof info) == 0) return false;
    region->base = reinterpret_cast<std::uintptr_t>(info.BaseAddress);
    region->size = static_cast<std::uintptr_t>(info.RegionSize);
    region->committed = info.State == MEM_COMMIT;
    region->protection = info.Protect;
    return true;
}

bool protect(void* address, std::size_t size, std::uint32_t newProtection,
             std::uint32_t* oldProtection) {
    DWORD old = 0;
    if (!VirtualProtect(address, size, newProtection, &old)) return false;
    if (oldProtection != nullptr) *oldProtection = old;
    return true;
}

void flushInstructionCache(void* address, std::size_t size) {
    FlushInstructionCache(GetCurrentProcess(), address, size);
}

// ---- time and input -----------------------------------------------------------------

std::uint32_t tickCount() { return GetTickCount(); }

bool keyDown(int virtualKey) {
    return (static_cast<unsigned short>(GetAsyncKeyState(virtualKey)) & 0x8000u) != 0;
}

// ---- settings file -----------------------------------------------------------------

std::uint32_t profileInt(const char* section, const char* key, int defaultValue,
                         const char* path) {
    return GetPrivateProfileIntA(section, key, defaultValue, path);
}

void profileString(const char* section, const char* key, const char* defaultValue, char* out,
                   std::size_t size, const char* path) {
    if (out == nullptr || size == 0) return;
    out[0] = '\0';
    GetPrivateProfileStringA(section, key, defaultValue, out, boundedSize(size), path);
    out[size - 1] = '\0';
}

// ---- log file -------------------------------------------------------------------

namespace {

// `text` and its line end in one buffer, so that a failed write loses the
// whole line instead of leaving half of one or two run together. Text that
// does not fit is cut. Returns the length.
std::size_t withLineEnd(const char* text, const char* end, char* out, std::size_t size) {
    const std::size_t endLength = std::strlen(end);
    std::size_t n = std::strlen(text);
    if (n > size - endLength) n = size - endLength;
    std::memcpy(out, text, n);
    std::memcpy(out + n, end, endLength);
    return n + endLength;
}

} // namespace

bool appendLine(const char* path, const char* text) {
    if (path == nullptr || text == nullptr) return false;
    char line[kLogLineMax + 1];
    // Text mode turns the '\n' into CR LF.
    const std::size_t n = withLineEnd(text, "\n", line, sizeof line);
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) return false;
    // msvcrt writes a line this short when the stream closes: a failed close
    // lost it.
    const bool written = std::fwrite(line, 1, n, file) == n;
    return std::fclose(file) == 0 && written;
}

bool appendLineFlushed(const char* path, const char* text) {
    if (path == nullptr || text == nullptr) return false;
    char line[kFlushedTextMax + 2];
    const std::size_t n = withLineEnd(text, "\r\n", line, sizeof line);
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    // A short write is carried on from where it stopped.
    std::size_t done = 0;
    DWORD written = 0;
    for (; done < n; done += written)
        if (!WriteFile(file, line + done, static_cast<DWORD>(n - done), &written, nullptr) ||
            written == 0)
            break;
    FlushFileBuffers(file);
    CloseHandle(file);
    return done == n;
}

// ---- faults -------------------------------------------------------------------

void installFaultReporter(void (*reporter)(const FaultInfo&)) {
    g_reporter.store(reporter);
    // Last in the chain: called after the handlers registered before it.
    if (!g_handlerAdded.exchange(true)) AddVectoredExceptionHandler(0, &onException);
}

} // namespace platform
