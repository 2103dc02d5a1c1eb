#pragma once

// Executable slots of trampolineCapacity bytes, carved out of whole pages so
// that a handful of hooks does not cost a page (or, on Windows, a 64 KiB
// reservation) each. A page is returned once its last slot is freed.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hook {

class TrampolinePool {
  public:
    TrampolinePool() = default;
    TrampolinePool(const TrampolinePool&) = delete;
    TrampolinePool& operator=(const TrampolinePool&) = delete;
    ~TrampolinePool() { releaseAll(); }

    // A free slot, or nullptr when no memory is left. Never throws.
    std::uint8_t* allocate() noexcept;
    // Gives a slot from allocate() back; other pointers are ignored.
    void free(std::uint8_t* slot) noexcept;
    // Returns every page, in use or not.
    void releaseAll() noexcept;

    std::size_t pageCount() const { return pages_.size(); }

  private:
    struct Page {
        std::uint8_t* base;
        std::size_t size;
        std::uint64_t used; // one bit per slot
    };
    std::vector<Page> pages_;
};

} // namespace hook
