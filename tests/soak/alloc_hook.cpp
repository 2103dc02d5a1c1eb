// operator new for the driving programs: counts the allocations made while
// plug-in code runs (harness.h scopes) and makes a chosen one fail, as a
// full heap would inside the game.

#include "harness.h"

#include <cstdlib>
#include <new>

namespace soak {

extern bool g_inPlugin;

namespace {
std::uint64_t g_allocations = 0;
std::uint64_t g_failAt = 0;
bool g_failed = false;
} // namespace

std::uint64_t pluginAllocations() { return g_allocations; }
void failPluginAllocation(std::uint64_t nth) { g_failAt = nth; }
bool pluginAllocationFailed() { return g_failed; }

} // namespace soak

void* operator new(std::size_t size) {
    if (soak::g_inPlugin) {
        ++soak::g_allocations;
        if (soak::g_failAt != 0 && soak::g_allocations == soak::g_failAt) {
            soak::g_failed = true;
            throw std::bad_alloc();
        }
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}

// Every other form goes to the same pair, so that the sanitizer build sees
// matching allocations and releases.
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
