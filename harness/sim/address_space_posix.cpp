// The executable's address range in a 32-bit Linux process: an anonymous
// mapping at the game's addresses, its code pages made read-execute.

#include "sim/address_space.h"

#include <sys/mman.h>

#include <cstring>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

namespace sim::detail {

namespace {

bool codeProtected = false;

void* at(game::Address a) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(a));
}

bool inCode(game::Address a, std::size_t n) {
    return a < CodeEnd && a + n > MapBegin;
}

} // namespace

bool mapHostRange() {
    void* want = at(MapBegin);
    void* got = mmap(want, MapEnd - MapBegin, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (got == MAP_FAILED) return false;
    if (got != want) {
        // An old kernel without MAP_FIXED_NOREPLACE treats it as a hint.
        munmap(got, MapEnd - MapBegin);
        return false;
    }
    codeProtected = false;
    // An image header, as a loaded executable has.
    static_cast<unsigned char*>(want)[0] = 'M';
    static_cast<unsigned char*>(want)[1] = 'Z';
    return true;
}

void unmapHostRange() {
    munmap(at(MapBegin), MapEnd - MapBegin);
    codeProtected = false;
}

void writeBytes(game::Address a, const void* bytes, std::size_t count) {
    const bool lift = codeProtected && inCode(a, count);
    const std::uintptr_t page0 = a & ~0xFFFu;
    const std::uintptr_t page1 = (a + count + 0xFFFu) & ~0xFFFu;
    if (lift) mprotect(reinterpret_cast<void*>(page0), page1 - page0, PROT_READ | PROT_WRITE);
    std::memcpy(at(a), bytes, count);
    if (lift) {
        mprotect(reinterpret_cast<void*>(page0), page1 - page0, PROT_READ | PROT_EXEC);
        __builtin___clear_cache(static_cast<char*>(at(a)), static_cast<char*>(at(a)) + count);
    }
}

void protectCode() {
    // The image header shares the code's protection: a user-mode emulator
    // merges a read-only neighbour into the code range in its list of
    // mappings and then reports the code as not executable.
    mprotect(at(MapBegin), CodeEnd - MapBegin, PROT_READ | PROT_EXEC);
    __builtin___clear_cache(static_cast<char*>(at(MapBegin)), static_cast<char*>(at(CodeEnd)));
    codeProtected = true;
}

} // namespace sim::detail
