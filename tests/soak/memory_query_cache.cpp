// The plug-in guards every host read by asking the system about the memory
// (VirtualQuery; /proc/self/maps on POSIX). Under the emulator each answer
// costs about a millisecond and a soak frame asks hundreds of times, so the
// soak programs link with the region query, mmap, munmap and mprotect wrapped
// (tests/soak/CMakeLists.txt) and remember the system's answers.
//
// A remembered answer describes one mapping (or gap), so it answers every
// address inside it until the process's mappings change. They change only
// through the wrapped calls, which forget everything, and through the heap's
// break, which is compared on every query: the heap is set up below never to
// use mmap and never to give memory back. Gaps are never remembered, so a
// mapping added behind our back is still seen. Under the sanitizers the
// runtime maps and unmaps by itself, and every query goes to the system.

#include "platform/platform.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define BW_REMEMBER_REGIONS 0
#else
#define BW_REMEMBER_REGIONS 1
#endif

// The wrapped symbols: platform::queryRegion(std::uintptr_t, MemoryRegion*).
#define BW_QUERY_REGION _ZN8platform11queryRegionEjPNS_12MemoryRegionE
#define BW_CAT2(a, b) a##b
#define BW_CAT(a, b) BW_CAT2(a, b)

extern "C" {
bool BW_CAT(__real_, BW_QUERY_REGION)(std::uintptr_t address, platform::MemoryRegion* region);
void* __real_mmap64(void* address, std::size_t size, int prot, int flags, int fd, off64_t offset);
void* __real_mmap(void* address, std::size_t size, int prot, int flags, int fd, off_t offset);
int __real_munmap(void* address, std::size_t size);
int __real_mprotect(void* address, std::size_t size, int prot);
}

namespace {

constexpr int kRemembered = 64;
platform::MemoryRegion g_regions[kRemembered];
int g_count = 0;
void* g_break = nullptr;

void forget() {
    g_count = 0;
}

// Only the main heap's break moves, and only up.
const bool g_heapSet = [] {
#if BW_REMEMBER_REGIONS
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, -1);
    mallopt(M_TOP_PAD, 16 << 20); // fewer moves of the break
#endif
    return true;
}();

} // namespace

extern "C" bool BW_CAT(__wrap_, BW_QUERY_REGION)(std::uintptr_t address,
                                                 platform::MemoryRegion* region) {
#if BW_REMEMBER_REGIONS
    if (region == nullptr) return false;
    void* brk = sbrk(0);
    if (brk != g_break) {
        forget();
        g_break = brk;
    }
    for (int i = 0; i < g_count; ++i) {
        const platform::MemoryRegion& r = g_regions[i];
        if (address >= r.base && address - r.base < r.size) {
            *region = r;
            return true;
        }
    }
    if (!BW_CAT(__real_, BW_QUERY_REGION)(address, region)) return false;
    // Reading the maps may itself have moved the break.
    if (sbrk(0) != g_break) return true;
    if (region->committed && g_count < kRemembered) g_regions[g_count++] = *region;
    return true;
#else
    return BW_CAT(__real_, BW_QUERY_REGION)(address, region);
#endif
}

extern "C" void* __wrap_mmap64(void* address, std::size_t size, int prot, int flags, int fd,
                               off64_t offset) {
    forget();
    return __real_mmap64(address, size, prot, flags, fd, offset);
}

extern "C" void* __wrap_mmap(void* address, std::size_t size, int prot, int flags, int fd,
                             off_t offset) {
    forget();
    return __real_mmap(address, size, prot, flags, fd, offset);
}

extern "C" int __wrap_munmap(void* address, std::size_t size) {
    forget();
    return __real_munmap(address, size);
}

extern "C" int __wrap_mprotect(void* address, std::size_t size, int prot) {
    forget();
    return __real_mprotect(address, size, prot);
}
