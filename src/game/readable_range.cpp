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

// Readable regions the system described since the memory was last dropped.
// Only readable answers are kept: a region that was not readable may be
// mapped by the next allocation, and is asked about again.
constexpr int kRemembered = 16;
struct Remembered {
    std::uintptr_t base;
    std::uintptr_t size;
};
Remembered remembered[kRemembered];
int rememberedCount = 0;
int nextSlot = 0;
bool remembering = false;

int lastFound = 0; // most guards of a frame read the same heap region

// The remembered region holding p, or null.
const Remembered* rememberedAt(std::uintptr_t p) {
    if (lastFound < rememberedCount) {
        const Remembered& r = remembered[lastFound];
        if (p - r.base < r.size && p >= r.base) return &r;
    }
    for (int i = 0; i < rememberedCount; ++i) {
        const Remembered& r = remembered[i];
        if (p >= r.base && p - r.base < r.size) {
            lastFound = i;
            return &r;
        }
    }
    return nullptr;
}

bool regionAt(std::uintptr_t p, platform::MemoryRegion* region) {
    if (!platform::queryRegion(p, region)) {
        ++g_queryFailures;
        return false;
    }
    if (remembering && region->committed && readableProtection(region->protection) &&
        region->base <= p) {
        remembered[nextSlot] = Remembered{region->base, region->size};
        nextSlot = (nextSlot + 1) % kRemembered;
        if (rememberedCount < kRemembered) ++rememberedCount;
    }
    return true;
}

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
        if (remembering) {
            if (const Remembered* r = rememberedAt(p)) {
                if (r->size > UINTPTR_MAX - r->base) return true;
                p = r->base + r->size;
                continue;
            }
        }
        platform::MemoryRegion region{};
        if (!regionAt(p, &region)) return false;
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

void rememberReadableRegions() {
    forgetReadableRegions();
    remembering = true;
}

void stopRememberingRegions() {
    forgetReadableRegions();
    remembering = false;
}

void forgetReadableRegions() {
    rememberedCount = 0;
    nextSlot = 0;
    lastFound = 0;
}

} // namespace game
