#pragma once

// The only door to the operating system. One implementation per build:
// platform_win32.cpp (the product) and platform_posix.cpp (linux32 and tests).
// No logic of the plug-in lives behind it; each call mirrors one system call.

#include <cstddef>
#include <cstdint>

namespace platform {

// ---- module -------------------------------------------------------------

// Turns off thread attach/detach notifications (DisableThreadLibraryCalls).
void disableThreadNotifications(void* module);

// Full path of the module that contains this code, NUL-terminated, written
// with the bound `size` (GetModuleFileNameA), of `module` when the caller
// has its handle (the entry's), else found from this code's address. False
// when unavailable.
bool ownModulePath(char* out, std::size_t size, void* module = nullptr);

// Keeps the module that contains this code loaded for the life of the
// process, whatever its loader does later (GetModuleHandleExA with the pin
// flag, from this code's address). False when it could not be pinned.
bool pinOwnModule();

// Load address of the process's executable (GetModuleHandleA(nullptr)).
std::uintptr_t executableBase();

// The module containing `address`: its base and full path (GetModuleHandleExA
// from-address + GetModuleFileNameA). False, base 0 and an empty path when no
// module holds it.
bool moduleAt(std::uintptr_t address, std::uintptr_t* base, char* path, std::size_t size);

// ---- memory ---------------------------------------------------------------

// One region as VirtualQuery describes it; the POSIX implementation reports
// the process's own mappings in the same terms (unmapped gaps are not
// committed; permissions map to the Windows protection constants).
struct MemoryRegion {
    std::uintptr_t base;
    std::uintptr_t size;
    bool committed;          // MEM_COMMIT
    std::uint32_t protection; // PAGE_* value: 0x01 no access, 0x02 read, 0x04 read-write,
                              // 0x08 write-copy, 0x20/0x40/0x80 their executable forms,
                              // 0x100 guard bit
};
bool queryRegion(std::uintptr_t address, MemoryRegion* region);

// Changes the protection of [address, address + size) and returns the old
// one (VirtualProtect). PAGE_EXECUTE_READWRITE is 0x40.
bool protect(void* address, std::size_t size, std::uint32_t newProtection,
             std::uint32_t* oldProtection);

// FlushInstructionCache on the current process.
void flushInstructionCache(void* address, std::size_t size);

// ---- time and input -------------------------------------------------------

// Milliseconds since some fixed point, wrapping at 2^32 (GetTickCount).
std::uint32_t tickCount();

// True while the key is down (high bit of GetAsyncKeyState).
bool keyDown(int virtualKey);

// ---- settings file ----------------------------------------------------------

// GetPrivateProfileIntA.
std::uint32_t profileInt(const char* section, const char* key, int defaultValue,
                         const char* path);

// GetPrivateProfileStringA into `out` (bounded by `size`, always terminated).
void profileString(const char* section, const char* key, const char* defaultValue, char* out,
                   std::size_t size, const char* path);

// ---- log file -------------------------------------------------------------

// The longest text of one append: a message line, and a flushed write (which
// may carry several lines, separated by CR LF). Longer text is cut.
constexpr std::size_t kLogLineMax = 1024;
constexpr std::size_t kFlushedTextMax = 2048;

// Appends `text` and CR LF to the file (opened for append, closed again), in
// one write: a failure loses the whole line. False when the file could not be
// opened or the write failed.
bool appendLine(const char* path, const char* text);

// Appends `text` and CR LF in one write through the flushed path of phase
// lines (CreateFileA/WriteFile/FlushFileBuffers/CloseHandle). False when the
// file could not be opened or the write failed.
bool appendLineFlushed(const char* path, const char* text);

// ---- faults ---------------------------------------------------------------

// What the exception reporter is told about one fault.
struct FaultInfo {
    std::uint32_t code;      // Windows exception code (0xC0000005, ...)
    std::uintptr_t address;  // faulting instruction
    std::uint32_t parameterCount;
    std::uintptr_t parameters[2];
    std::uint32_t eax, ebx, ecx, edx, esi, edi, ebp, esp;
};

// Registers `reporter` to see every fault of the process after the handlers
// registered before it; it never changes what happens next.
void installFaultReporter(void (*reporter)(const FaultInfo&));

} // namespace platform

namespace platform::testing {
// Deterministic time and keys for tests and the substitute host (POSIX only).
void setTickCount(std::uint32_t ms);
void setKeyDown(int virtualKey, bool down);
// What executableBase() returns from now on (a substitute host stands in
// for the game's image).
void setExecutableBase(std::uintptr_t base);
// Makes pinOwnModule() fail from now on (true) or work again (false).
void setModulePinFails(bool fails);
} // namespace platform::testing
