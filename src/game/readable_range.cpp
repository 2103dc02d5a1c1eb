#include "game/readable_range.h"

#include "platform/platform.h"

namespace game {

namespace {

// Protection values that allow reading: read-only, read-write, write-copy and
// their executable forms. No-access and guard pages never qualify.
bool readableProtection(std::uint32_t protection) {
    if (protection & (0x01u | 0x100u)) return false;
    switch (protection & 0xFFu) {
    case 0x02: case 0x04: case 0x08: case 0x20: case 0x40: case 0x80:
        return true;
    default:
        return false;
    }
}

std::uint32_t g_queryFailures = 0;

} // namespace

std::uint32_t memoryQueryFailures() {
    return g_queryFailures;
}

bool readableRange(std::uintptr_t address, std::size_t size) {
    if (size == 0 || address < kLowestHostAddress) return false;
    if (!rangeFits(address, size)) return false;
    const std::uintptr_t end = address + size;

    std::uintptr_t p = address;
    while (p < end) {
        platform::MemoryRegion region{};
        if (!platform::queryRegion(p, &region)) {
            ++g_queryFailures;
            return false;
        }
        if (!region.committed || !readableProtection(region.protection)) return false;
        // The answer must describe the memory at p, not some later region.
        if (region.base > p) return false;
        // A region that reaches the top of the address space covers the rest
        // of the range (its end is not representable, but nothing lies past it).
        if (region.size > UINTPTR_MAX - region.base) return true;
        const std::uintptr_t next = region.base + region.size;
        if (next <= p) return false;
        p = next;
    }
    return true;
}

} // namespace game
