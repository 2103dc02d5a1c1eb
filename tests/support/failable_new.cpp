#include "failable_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace bwtest {
namespace {
std::atomic<AllocationRule> g_rule{nullptr};
} // namespace

void setAllocationRule(AllocationRule rule) { g_rule = rule; }

} // namespace bwtest

void* operator new(std::size_t size) {
    const bwtest::AllocationRule rule = bwtest::g_rule.load();
    if (rule != nullptr && rule(size)) throw std::bad_alloc();
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}

// Every other form goes to the same pair, so that no allocation made here is
// freed by the runtime's own operator delete (or the reverse), and the
// sanitizer build sees matching allocations and releases.
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
