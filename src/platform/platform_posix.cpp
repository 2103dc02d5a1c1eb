// POSIX implementation of the OS layer, for the 32-bit Linux proving build
// and its tests. Each call gives the Win32 call's observable behaviour.

#include "platform/platform.h"
#include "platform/signal_chain_posix.h"

#include <dlfcn.h>
#include <link.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BW_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define BW_ADDRESS_SANITIZER 1
#endif
#if defined(BW_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#endif

namespace platform {

// The state behind platform::testing, under one C name with default
// visibility: a plug-in that a test program loads with dlopen binds its copy
// to the program's exported one, so both see the time, keys and executable
// base the test sets.
struct TestState {
    std::atomic<bool> tickSet;
    std::atomic<std::uint32_t> tick;
    std::atomic<bool> keys[256];
    std::atomic<bool> baseSet;
    std::atomic<std::uintptr_t> base;
    std::atomic<bool> pinFails;
};
extern "C" __attribute__((visibility("default"))) TestState bw_platform_test_state;
TestState bw_platform_test_state{};

namespace {

constexpr std::uint32_t kPageNoAccess = 0x01;
constexpr std::uint32_t kPageReadOnly = 0x02;
constexpr std::uint32_t kPageReadWrite = 0x04;
constexpr std::uint32_t kPageWriteCopy = 0x08;
constexpr std::uint32_t kPageExecute = 0x10;
constexpr std::uint32_t kPageExecuteRead = 0x20;
constexpr std::uint32_t kPageExecuteReadWrite = 0x40;
constexpr std::uint32_t kPageExecuteWriteCopy = 0x80;


// Bounded copy that reports whether the whole text fitted.
bool copyText(char* out, std::size_t size, const char* text) {
    if (size == 0) return false;
    int n = std::snprintf(out, size, "%s", text);
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

// The main program's file; the loader names it only by argv[0].
bool executablePath(char* out, std::size_t size) {
    if (size == 0) return false;
    ssize_t n = readlink("/proc/self/exe", out, size);
    if (n <= 0 || static_cast<std::size_t>(n) >= size) {
        out[0] = '\0';
        return false;
    }
    out[n] = '\0';
    return true;
}

// Full path of the loaded object described by `info`. No allocation: this
// also runs inside the fault handler.
bool objectPath(const Dl_info& info, char* out, std::size_t size) {
    std::uintptr_t phdr = getauxval(AT_PHDR);
    std::uintptr_t fbase = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    long page = sysconf(_SC_PAGESIZE);
    bool mainProgram = phdr >= fbase && phdr - fbase < static_cast<std::uintptr_t>(page > 0 ? page : 4096);
    if (mainProgram || info.dli_fname == nullptr || info.dli_fname[0] == '\0')
        return executablePath(out, size);
    return copyText(out, size, info.dli_fname);
}

// ---- /proc/self/maps ---------------------------------------------------------

struct Mapping {
    std::uintptr_t start;
    std::uintptr_t end;
    char perms[4];
};

bool parseHex(const char*& p, std::uintptr_t* value) {
    std::uintptr_t v = 0;
    const char* begin = p;
    for (;; ++p) {
        char c = *p;
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else break;
        v = (v << 4) | digit;
    }
    *value = v;
    return p != begin;
}

// "start-end perms ..." -> mapping; false for anything else.
bool parseMapsLine(const char* line, Mapping* m) {
    const char* p = line;
    if (!parseHex(p, &m->start) || *p++ != '-') return false;
    if (!parseHex(p, &m->end) || *p++ != ' ') return false;
    for (int i = 0; i < 4; ++i) {
        if (p[i] == '\0') return false;
        m->perms[i] = p[i];
    }
    return m->end > m->start;
}

std::uint32_t protectionOf(const char perms[4]) {
    bool r = perms[0] == 'r', w = perms[1] == 'w', x = perms[2] == 'x';
    // A mapping without read access is never reported readable, even where
    // the hardware would allow the read.
    if (!r) return x ? kPageExecute : kPageNoAccess;
    if (x) return w ? kPageExecuteReadWrite : kPageExecuteRead;
    return w ? kPageReadWrite : kPageReadOnly;
}

// Calls `visit(mapping)` for each mapping in address order until it returns
// false. False when the maps file cannot be read.
template <typename Visit>
bool forEachMapping(Visit visit) {
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[4096];
    char line[128]; // only the leading address and permission fields matter
    std::size_t used = 0;
    bool more = true;
    while (more) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && more; ++i) {
            char c = chunk[i];
            if (c != '\n') {
                if (used + 1 < sizeof line) line[used++] = c;
                continue;
            }
            line[used] = '\0';
            used = 0;
            Mapping m;
            if (parseMapsLine(line, &m)) more = visit(m);
        }
    }
    close(fd);
    return true;
}

int posixProtection(std::uint32_t protection) {
    switch (protection & 0xFFu) { // the guard and caching modifiers have no POSIX form
    case kPageNoAccess: return PROT_NONE;
    case kPageReadOnly: return PROT_READ;
    case kPageReadWrite:
    case kPageWriteCopy: return PROT_READ | PROT_WRITE;
    case kPageExecute: return PROT_EXEC;
    case kPageExecuteRead: return PROT_READ | PROT_EXEC;
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy: return PROT_READ | PROT_WRITE | PROT_EXEC;
    default: return -1;
    }
}

// ---- faults ------------------------------------------------------------------

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGTRAP};
constexpr int kFaultSignalCount = sizeof kFaultSignals / sizeof kFaultSignals[0];
struct sigaction g_previous[kFaultSignalCount];
std::atomic<void (*)(const FaultInfo&)> g_reporter{nullptr};
std::atomic<bool> g_faultHookInstalled{false};

// Page-fault error code bits (x86): write access, instruction fetch.
constexpr unsigned long kErrWrite = 0x2;
constexpr unsigned long kErrFetch = 0x10;

void fillContext(FaultInfo& f, void* context, unsigned long* err, std::uintptr_t* pc) {
    *err = 0;
    *pc = 0;
    if (context == nullptr) return;
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__i386__)
    const greg_t* g = uc->uc_mcontext.gregs;
    f.eax = static_cast<std::uint32_t>(g[REG_EAX]);
    f.ebx = static_cast<std::uint32_t>(g[REG_EBX]);
    f.ecx = static_cast<std::uint32_t>(g[REG_ECX]);
    f.edx = static_cast<std::uint32_t>(g[REG_EDX]);
    f.esi = static_cast<std::uint32_t>(g[REG_ESI]);
    f.edi = static_cast<std::uint32_t>(g[REG_EDI]);
    f.ebp = static_cast<std::uint32_t>(g[REG_EBP]);
    f.esp = static_cast<std::uint32_t>(g[REG_ESP]);
    *err = static_cast<unsigned long>(g[REG_ERR]);
    *pc = static_cast<std::uintptr_t>(g[REG_EIP]);
#elif defined(__x86_64__)
    const greg_t* g = uc->uc_mcontext.gregs;
    f.eax = static_cast<std::uint32_t>(g[REG_RAX]);
    f.ebx = static_cast<std::uint32_t>(g[REG_RBX]);
    f.ecx = static_cast<std::uint32_t>(g[REG_RCX]);
    f.edx = static_cast<std::uint32_t>(g[REG_RDX]);
    f.esi = static_cast<std::uint32_t>(g[REG_RSI]);
    f.edi = static_cast<std::uint32_t>(g[REG_RDI]);
    f.ebp = static_cast<std::uint32_t>(g[REG_RBP]);
    f.esp = static_cast<std::uint32_t>(g[REG_RSP]);
    *err = static_cast<unsigned long>(g[REG_ERR]);
    *pc = static_cast<std::uintptr_t>(g[REG_RIP]);
#else
    (void)uc;
#endif
}

// Translates the signal into the exception record Windows would give.
FaultInfo describeFault(int sig, const siginfo_t* info, void* context) {
    FaultInfo f{};
    unsigned long err;
    std::uintptr_t pc;
    fillContext(f, context, &err, &pc);
    std::uintptr_t faultAddress = reinterpret_cast<std::uintptr_t>(info->si_addr);
    f.address = pc != 0 ? pc : faultAddress;
    // A page fault carries its error code; a general protection fault
    // (si_code SI_KERNEL) does not. The trap number is not used: emulators
    // leave it unset.
    std::uintptr_t access = 0;
    bool pageFault = info->si_code > 0 && info->si_code != SI_KERNEL;
    if (pageFault) access = (err & kErrFetch) ? 8 : (err & kErrWrite) ? 1 : 0;
    switch (sig) {
    case SIGSEGV:
        f.code = 0xC0000005u; // access violation
        f.parameterCount = 2;
        f.parameters[0] = access;
        f.parameters[1] = faultAddress;
        break;
    case SIGBUS:
        if (info->si_code == BUS_ADRALN) {
            f.code = 0x80000002u; // misaligned data
        } else {
            f.code = 0xC0000006u; // in-page error: the backing file could not supply the page
            f.parameterCount = 2;
            f.parameters[0] = access;
            f.parameters[1] = faultAddress;
        }
        break;
    case SIGILL:
        f.code = 0xC000001Du; // illegal instruction
        break;
    default:
        f.code = 0x80000003u; // breakpoint
        // int3 leaves the program counter after the instruction; Windows
        // reports the instruction itself.
        if (info->si_code == SI_KERNEL && pc != 0) f.address = pc - 1;
        break;
    }
    return f;
}


// The signal frame may leave the stack only 4-byte aligned (so does qemu's);
// the handler's SSE code must not rely on more.
#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
void onFault(int sig, siginfo_t* info, void* context) {
    int saved = errno;
    int index = 0;
    while (index < kFaultSignalCount && kFaultSignals[index] != sig) ++index;
    if (index == kFaultSignalCount) return;
    if (void (*reporter)(const FaultInfo&) = g_reporter.load()) reporter(describeFault(sig, info, context));
    passSignalOn(g_previous[index], sig, info, context);
    errno = saved;
}

} // namespace

// ---- module --------------------------------------------------------------------

void disableThreadNotifications(void*) {
    // POSIX has no per-thread notifications to a shared object.
}

bool ownModulePath(char* out, std::size_t size) {
    if (out == nullptr || size == 0) return false;
    out[0] = '\0';
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ownModulePath), &info) == 0) return false;
    if (!objectPath(info, out, size)) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool pinOwnModule() {
    if (bw_platform_test_state.pinFails.load()) return false;
    Dl_info info{};
    void* extra = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&pinOwnModule), &info, &extra, RTLD_DL_LINKMAP) == 0)
        return false;
    const auto* map = static_cast<const link_map*>(extra);
    // The program itself is never unloaded.
    if (map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') return true;
    // A reference that is never closed, on an object marked never to unload;
    // NOLOAD makes sure no second copy is ever mapped.
    return dlopen(map->l_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

std::uintptr_t executableBase() {
    if (bw_platform_test_state.baseSet.load()) return bw_platform_test_state.base.load();
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(getauxval(AT_PHDR)), &info) == 0) return 0;
    return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

bool moduleAt(std::uintptr_t address, std::uintptr_t* base, char* path, std::size_t size) {
    if (base != nullptr) *base = 0;
    if (path != nullptr && size > 0) path[0] = '\0';
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_fbase == nullptr) return false;
    if (base != nullptr) *base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    if (path != nullptr && size > 0) objectPath(info, path, size);
    return true;
}

// ---- memory ----------------------------------------------------------------------

namespace {

// Under the address sanitizer its shadow of a 32-bit process is mapped
// read-write, yet an instrumented read there faults: it is never readable to
// this code, so it is reported as not committed. `region` holds `address`.
void withoutSanitizerShadow(std::uintptr_t address, MemoryRegion* region) {
#if defined(BW_ADDRESS_SANITIZER)
    if (sizeof(std::uintptr_t) != 4) return;
    std::size_t scale = 0, offset = 0;
    __asan_get_shadow_mapping(&scale, &offset);
    const std::uintptr_t begin = offset;
    const std::uintptr_t end = begin + ((std::uintptr_t(0) - 1) >> scale) + 1;
    if (end <= begin) return;
    const std::uintptr_t last = region->base + (region->size - 1);
    if (address >= begin && address < end) {
        *region = MemoryRegion{begin, end - begin, false, kPageNoAccess};
    } else if (address < begin && last >= begin) {
        region->size = begin - region->base;
    } else if (address >= end && region->base < end) {
        region->size = last - end + 1;
        region->base = end;
    }
#else
    (void)address;
    (void)region;
#endif
}

} // namespace

bool queryRegion(std::uintptr_t address, MemoryRegion* region) {
    if (region == nullptr) return false;
    bool found = false;
    std::uintptr_t previousEnd = 0;
    bool ok = forEachMapping([&](const Mapping& m) {
        if (address < m.start) {
            *region = MemoryRegion{previousEnd, m.start - previousEnd, false, kPageNoAccess};
            found = true;
            return false;
        }
        if (address < m.end) {
            *region = MemoryRegion{m.start, m.end - m.start, true, protectionOf(m.perms)};
            found = true;
            return false;
        }
        previousEnd = m.end;
        return true;
    });
    if (!ok) return false;
    if (!found) // above the last mapping: free up to the top of the address space
        *region = MemoryRegion{previousEnd, std::uintptr_t(0) - previousEnd, false, kPageNoAccess};
    withoutSanitizerShadow(address, region);
    return true;
}

bool protect(void* address, std::size_t size, std::uint32_t newProtection,
             std::uint32_t* oldProtection) {
    int prot = posixProtection(newProtection);
    std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(address);
    if (prot < 0 || size == 0 || begin + size < begin) return false;
    MemoryRegion region{};
    if (!queryRegion(begin, &region) || !region.committed) return false;
    long pageSize = sysconf(_SC_PAGESIZE);
    std::uintptr_t page = pageSize > 0 ? static_cast<std::uintptr_t>(pageSize) : 4096;
    std::uintptr_t first = begin & ~(page - 1);
    std::uintptr_t last = (begin + size - 1) & ~(page - 1);
    if (mprotect(reinterpret_cast<void*>(first), last - first + page, prot) != 0) return false;
    if (oldProtection != nullptr) *oldProtection = region.protection;
    return true;
}

void flushInstructionCache(void* address, std::size_t size) {
    char* begin = static_cast<char*>(address);
    __builtin___clear_cache(begin, begin + size);
}

// ---- time and input -----------------------------------------------------------------

std::uint32_t tickCount() {
    if (bw_platform_test_state.tickSet.load()) return bw_platform_test_state.tick.load();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<unsigned long long>(ts.tv_sec) * 1000u +
                                      static_cast<unsigned long long>(ts.tv_nsec) / 1000000u);
}

bool keyDown(int virtualKey) {
    if (virtualKey < 0 || virtualKey >= 256) return false;
    return bw_platform_test_state.keys[virtualKey].load();
}

// ---- log file -------------------------------------------------------------------

void appendLine(const char* path, const char* text) {
    if (path == nullptr || text == nullptr) return;
    std::FILE* file = std::fopen(path, "ab");
    if (file == nullptr) return;
    // Text-mode semantics of the product: every '\n' becomes CR LF.
    const char* p = text;
    while (const char* nl = std::strchr(p, '\n')) {
        std::fwrite(p, 1, static_cast<std::size_t>(nl - p), file);
        std::fwrite("\r\n", 1, 2, file);
        p = nl + 1;
    }
    std::fwrite(p, 1, std::strlen(p), file);
    std::fwrite("\r\n", 1, 2, file);
    std::fclose(file);
}

namespace {
bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}
} // namespace

// Only system calls: this runs inside the fault handler too.
void appendLineFlushed(const char* path, const char* text) {
    if (path == nullptr || text == nullptr) return;
    int saved = errno;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (writeAll(fd, text, std::strlen(text))) writeAll(fd, "\r\n", 2);
        fsync(fd);
        close(fd);
    }
    errno = saved;
}

// ---- faults -------------------------------------------------------------------

void installFaultReporter(void (*reporter)(const FaultInfo&)) {
    g_reporter.store(reporter);
    if (g_faultHookInstalled.exchange(true)) return;
    struct sigaction action {};
    action.sa_sigaction = &onFault;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    for (int i = 0; i < kFaultSignalCount; ++i) sigaction(kFaultSignals[i], &action, &g_previous[i]);
}

void passSignalOn(const struct sigaction& previous, int sig, siginfo_t* info, void* context) {
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction != nullptr) {
            previous.sa_sigaction(sig, info, context);
            return;
        }
    } else if (previous.sa_handler == SIG_IGN) {
        // The kernel does not let a fault of an instruction be ignored.
        if (info->si_code <= 0) return;
    } else if (previous.sa_handler != SIG_DFL) {
        previous.sa_handler(sig);
        return;
    }
    // Default action: reinstate it and let the pending signal take the
    // process down when the handler returns (a breakpoint would not recur
    // by itself).
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

} // namespace platform

namespace platform::testing {

void setTickCount(std::uint32_t ms) {
    bw_platform_test_state.tick.store(ms);
    bw_platform_test_state.tickSet.store(true);
}

void setKeyDown(int virtualKey, bool down) {
    if (virtualKey >= 0 && virtualKey < 256) bw_platform_test_state.keys[virtualKey].store(down);
}

void setExecutableBase(std::uintptr_t base) {
    bw_platform_test_state.base.store(base);
    bw_platform_test_state.baseSet.store(true);
}

void setModulePinFails(bool fails) { bw_platform_test_state.pinFails.store(fails); }

} // namespace platform::testing
