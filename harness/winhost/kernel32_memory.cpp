// Virtual memory over the process's real mappings, in Windows' terms.

#include "platform/platform.h"
#include "winhost/call_counts.h"
#include "winhost/process.h"
#include "winhost/stand_ins.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace winhost {
namespace {

constexpr DWORD kPage = 0x1000;
constexpr DWORD kMemDecommit = 0x4000;
constexpr DWORD kErrorNoAccess = 998;
constexpr DWORD kErrorBadLength = 24;
constexpr DWORD kPageGuard = 0x100;

// What VirtualAlloc handed out: the base VirtualFree must be given, and each
// page's state as Windows reports it (0: reserved, not committed; else its
// PAGE_* value, the guard bit included, which a mapping cannot show).
struct Allocation {
    std::uintptr_t base;
    std::size_t size;
    std::vector<DWORD> pages;
};
Allocation g_allocations[256];

Allocation* allocationAt(std::uintptr_t address) {
    for (Allocation& a : g_allocations)
        if (a.size != 0 && address >= a.base && address - a.base < a.size) return &a;
    return nullptr;
}

void setPages(Allocation& a, std::uintptr_t from, std::size_t bytes, DWORD protect) {
    for (std::uintptr_t p = from & ~std::uintptr_t(kPage - 1);
         p < from + bytes && p - a.base < a.size; p += kPage)
        a.pages[(p - a.base) / kPage] = protect;
}

bool allCommitted(const Allocation& a, std::uintptr_t from, std::size_t bytes) {
    for (std::uintptr_t p = from & ~std::uintptr_t(kPage - 1);
         p < from + bytes && p - a.base < a.size; p += kPage)
        if (a.pages[(p - a.base) / kPage] == 0) return false;
    return true;
}

int posixProtection(DWORD protect) {
    // A guard page faults on its first touch: the model keeps it untouchable.
    if ((protect & kPageGuard) != 0 && (protect & 0xFFu) != kPageNoAccess) return PROT_NONE;
    switch (protect & 0xFFu) {
    case kPageNoAccess:
        return PROT_NONE;
    case kPageReadOnly:
        return PROT_READ;
    case kPageReadWrite:
    case kPageWriteCopy:
        return PROT_READ | PROT_WRITE;
    case kPageExecute:
        return PROT_EXEC;
    case kPageExecuteRead:
        return PROT_READ | PROT_EXEC;
    case kPageExecuteReadWrite:
    case kPageExecuteWriteCopy:
        return PROT_READ | PROT_WRITE | PROT_EXEC;
    default:
        return -1;
    }
}

void* WINHOST_API VirtualAlloc(void* address, DWORD size, DWORD type, DWORD protect) {
    static CallCounter calls("VirtualAlloc");
    const int prot = posixProtection(protect);
    if (size == 0 || prot < 0 || (type & (kMemCommit | kMemReserve)) == 0) {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    if (calls.failsNow()) {
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    const std::size_t bytes = (size + kPage - 1) & ~std::size_t(kPage - 1);
    if (address != nullptr) {
        // Committing pages of an earlier reservation.
        const auto at = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t(kPage - 1);
        Allocation* a = allocationAt(at);
        if (a == nullptr || !(type & kMemCommit) || at + bytes > a->base + a->size ||
            mprotect(reinterpret_cast<void*>(at), bytes, prot) != 0) {
            setLastError(kErrorInvalidAddress);
            return nullptr;
        }
        setPages(*a, at, bytes, protect);
        return reinterpret_cast<void*>(at);
    }
    Allocation* slot = nullptr;
    for (Allocation& a : g_allocations)
        if (a.size == 0) {
            slot = &a;
            break;
        }
    void* m = slot != nullptr ? mmap(nullptr, bytes, (type & kMemCommit) ? prot : PROT_NONE,
                                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                              : MAP_FAILED;
    if (m == MAP_FAILED) {
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    *slot = Allocation{reinterpret_cast<std::uintptr_t>(m), bytes,
                       std::vector<DWORD>(bytes / kPage, (type & kMemCommit) ? protect : 0)};
    return m;
}

BOOL WINHOST_API VirtualFree(void* address, DWORD size, DWORD type) {
    static CallCounter calls("VirtualFree");
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    Allocation* a = allocationAt(at);
    if (a == nullptr) {
        setLastError(kErrorInvalidAddress);
        return 0;
    }
    if (calls.failsNow()) { // the pages stay as they were
        setLastError(kErrorInvalidParameter);
        return 0;
    }
    if (type == kMemRelease && size == 0 && at == a->base) {
        munmap(address, a->size);
        *a = Allocation{0, 0, {}};
        return 1;
    }
    if (type == kMemDecommit && size != 0 && at + size <= a->base + a->size) {
        const std::uintptr_t first = at & ~std::uintptr_t(kPage - 1);
        const std::size_t bytes = ((at + size + kPage - 1) & ~std::uintptr_t(kPage - 1)) - first;
        mmap(reinterpret_cast<void*>(first), bytes, PROT_NONE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        setPages(*a, first, bytes, 0);
        return 1;
    }
    setLastError(kErrorInvalidParameter);
    return 0;
}

// Windows reports from the page holding the address to the end of the run
// of pages alike; the allocation base is the image's or VirtualAlloc's.
DWORD WINHOST_API VirtualQuery(const void* address, MemoryBasicInformation* info, DWORD length) {
    static CallCounter calls("VirtualQuery");
    if (info == nullptr || length < sizeof *info) {
        setLastError(kErrorBadLength);
        return 0;
    }
    platform::MemoryRegion region{};
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    if (calls.failsNow() || !platform::queryRegion(at, &region)) {
        setLastError(kErrorInvalidParameter);
        return 0;
    }
    const std::uintptr_t page = at & ~std::uintptr_t(kPage - 1);
    std::memset(info, 0, sizeof *info);
    info->baseAddress = reinterpret_cast<void*>(page);
    info->regionSize = static_cast<DWORD>(region.base + region.size - page);
    if (!region.committed) {
        info->state = kMemFree;
        info->protect = kPageNoAccess;
        return sizeof *info;
    }
    info->state = kMemCommit;
    info->protect = region.protection;
    if (const Module* m = moduleAt(at)) {
        info->allocationBase = reinterpret_cast<void*>(m->base);
        info->allocationProtect = kPageExecuteWriteCopy;
        info->type = kMemImage;
        // A mapped image's pages as its sections and later VirtualProtect
        // calls set them (emulators do not list image code as executable).
        const std::size_t first = (page - m->base) / kPage;
        if (first < m->pages.size()) {
            std::size_t last = first;
            while (last + 1 < m->pages.size() && m->pages[last + 1] == m->pages[first])
                ++last;
            info->protect = m->pages[first];
            info->regionSize = static_cast<DWORD>((last - first + 1) * kPage);
        }
    } else if (const Allocation* a = allocationAt(at)) {
        info->allocationBase = reinterpret_cast<void*>(a->base);
        info->allocationProtect = region.protection;
        info->type = kMemPrivate;
        // The pages as VirtualAlloc and VirtualProtect left them: reserved
        // ones, guard bits.
        const std::size_t first = (page - a->base) / kPage;
        std::size_t last = first;
        while (last + 1 < a->pages.size() && a->pages[last + 1] == a->pages[first])
            ++last;
        info->regionSize = static_cast<DWORD>((last - first + 1) * kPage);
        info->protect = a->pages[first];
        if (a->pages[first] == 0) info->state = kMemReserve;
    } else {
        info->allocationBase = reinterpret_cast<void*>(region.base);
        info->allocationProtect = region.protection;
        info->type = kMemPrivate;
    }
    return sizeof *info;
}

BOOL WINHOST_API VirtualProtect(void* address, DWORD size, DWORD protect, DWORD* old) {
    static CallCounter calls("VirtualProtect");
    if (old == nullptr) {
        setLastError(kErrorNoAccess);
        return 0;
    }
    if (posixProtection(protect) < 0) {
        setLastError(kErrorInvalidParameter);
        return 0;
    }
    if (calls.failsNow()) {
        setLastError(kErrorAccessDenied);
        return 0;
    }
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    Allocation* a = allocationAt(at);
    if (a != nullptr && !allCommitted(*a, at, size)) {
        setLastError(kErrorInvalidAddress); // reserved pages have no protection to change
        return 0;
    }
    platform::MemoryRegion region{};
    if (a == nullptr && (!platform::queryRegion(at, &region) || !region.committed)) {
        setLastError(kErrorInvalidParameter); // free memory
        return 0;
    }
    errno = 0;
    std::uint32_t previous = 0;
    if (!platform::protect(address, size, protect, &previous)) {
        setLastError(errno == EACCES ? kErrorAccessDenied : kErrorInvalidAddress);
        return 0;
    }
    *old = previous;
    if (a != nullptr) {
        *old = a->pages[(at - a->base) / kPage];
        setPages(*a, at, size, protect);
    }
    if (Module* m = moduleAt(reinterpret_cast<std::uintptr_t>(address));
        m != nullptr && !m->pages.empty()) {
        const auto from = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t(kPage - 1);
        *old = m->pages[(from - m->base) / kPage];
        for (std::uintptr_t p = from;
             p < reinterpret_cast<std::uintptr_t>(address) + size && p - m->base < m->size;
             p += kPage)
            m->pages[(p - m->base) / kPage] = protect;
    }
    return 1;
}

BOOL WINHOST_API FlushInstructionCache(HANDLE, const void* address, DWORD size) {
    static CallCounter calls("FlushInstructionCache");
    if (calls.failsNow()) {
        setLastError(kErrorAccessDenied);
        return 0;
    }
    if (address != nullptr && size != 0)
        platform::flushInstructionCache(const_cast<void*>(address), size);
    return 1;
}

void WINHOST_API GetSystemInfo(SystemInfo* info) {
    static CallCounter calls("GetSystemInfo", Failure::None);
    calls.failsNow();
    std::memset(info, 0, sizeof *info);
    info->pageSize = kPage;
    info->minimumApplicationAddress = reinterpret_cast<void*>(0x10000);
    info->maximumApplicationAddress = reinterpret_cast<void*>(0x7FFEFFFF);
    info->activeProcessorMask = 1;
    info->numberOfProcessors = 1;
    info->processorType = 586; // PROCESSOR_INTEL_PENTIUM
    info->allocationGranularity = 0x10000;
    info->processorLevel = 6;
}

HANDLE WINHOST_API GetCurrentProcess() {
    static CallCounter calls("GetCurrentProcess", Failure::None);
    calls.failsNow();
    return kInvalidHandle; // the pseudo handle (HANDLE)-1
}

const StandIn kStandIns[] = {
    {"VirtualAlloc", reinterpret_cast<void*>(&VirtualAlloc)},
    {"VirtualFree", reinterpret_cast<void*>(&VirtualFree)},
    {"VirtualQuery", reinterpret_cast<void*>(&VirtualQuery)},
    {"VirtualProtect", reinterpret_cast<void*>(&VirtualProtect)},
    {"FlushInstructionCache", reinterpret_cast<void*>(&FlushInstructionCache)},
    {"GetSystemInfo", reinterpret_cast<void*>(&GetSystemInfo)},
    {"GetCurrentProcess", reinterpret_cast<void*>(&GetCurrentProcess)},
};

} // namespace

StandInList memoryStandIns() {
    return standIns("kernel32.dll", kStandIns);
}

} // namespace winhost
