#include "hook/trampoline_pool.h"

#include "hook/trampoline.h"
#include "platform/code_memory.h"

namespace hook {
namespace {

// One bit per slot in Page::used bounds the slots per page.
unsigned slotsIn(std::size_t pageSize) {
    const std::size_t slots = pageSize / trampolineCapacity;
    return slots > 64 ? 64u : static_cast<unsigned>(slots);
}

} // namespace

std::uint8_t* TrampolinePool::allocate() noexcept {
    for (Page& page : pages_) {
        const unsigned slots = slotsIn(page.size);
        for (unsigned i = 0; i < slots; ++i) {
            if (!(page.used & (std::uint64_t{1} << i))) {
                page.used |= std::uint64_t{1} << i;
                return page.base + i * trampolineCapacity;
            }
        }
    }
    std::size_t size = platform::codePageSize();
    if (size < trampolineCapacity) size = trampolineCapacity;
    try {
        pages_.reserve(pages_.size() + 1);
    } catch (...) {
        return nullptr;
    }
    auto* base = static_cast<std::uint8_t*>(platform::allocateExecutable(size));
    if (!base) return nullptr;
    pages_.push_back(Page{base, size, 1}); // capacity reserved: cannot throw
    return base;
}

void TrampolinePool::free(std::uint8_t* slot) noexcept {
    for (std::size_t p = 0; p < pages_.size(); ++p) {
        Page& page = pages_[p];
        if (slot < page.base || slot >= page.base + page.size) continue;
        const auto index = static_cast<unsigned>((slot - page.base) / trampolineCapacity);
        if (index >= slotsIn(page.size)) return;
        page.used &= ~(std::uint64_t{1} << index);
        if (page.used == 0) {
            platform::freeExecutable(page.base, page.size);
            pages_.erase(pages_.begin() + static_cast<std::ptrdiff_t>(p));
        }
        return;
    }
}

void TrampolinePool::releaseAll() noexcept {
    for (const Page& page : pages_)
        platform::freeExecutable(page.base, page.size);
    pages_.clear();
}

} // namespace hook
