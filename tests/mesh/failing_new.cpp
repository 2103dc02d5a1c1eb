#include "failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> armedSize{0};
std::atomic<bool> happened{false};
} // namespace

void failNextAllocationOfSize(std::size_t size) {
    happened = false;
    armedSize = size;
}

bool allocationFailureHappened() {
    armedSize = 0;
    return happened.exchange(false);
}

void* operator new(std::size_t size) {
    if (size != 0 && armedSize.load() == size) {
        armedSize = 0;
        happened = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}

// Every other form goes to the same pair, so that no allocation made here is
// freed by the runtime's own operator delete (or the reverse).
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return ::operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
