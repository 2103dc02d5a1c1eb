#pragma once

// Pages with chosen protections, for building records that end right at an
// unreadable or unmapped page.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace guardtest {

class Pages {
public:
    explicit Pages(std::size_t count) : count_(count) {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, count_ * page_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = (p == MAP_FAILED) ? nullptr : static_cast<unsigned char*>(p);
        if (base_) std::memset(base_, 0, count_ * page_);
    }
    ~Pages() {
        if (base_) munmap(base_, count_ * page_);
    }
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;

    bool ok() const { return base_ != nullptr; }
    std::size_t pageSize() const { return page_; }
    unsigned char* page(std::size_t i) const { return base_ + i * page_; }
    std::uintptr_t address(std::size_t i) const {
        return reinterpret_cast<std::uintptr_t>(page(i));
    }
    // The last `bytes` bytes of page i: a record placed there ends at the page's end.
    unsigned char* tail(std::size_t i, std::size_t bytes) const {
        return page(i) + page_ - bytes;
    }
    bool protect(std::size_t i, int prot) const {
        return mprotect(page(i), page_, prot) == 0;
    }
    // Leaves a hole in the mapping; the destructor's munmap covers it harmlessly.
    bool unmap(std::size_t i) const { return munmap(page(i), page_) == 0; }

private:
    std::size_t count_;
    std::size_t page_ = 4096;
    unsigned char* base_ = nullptr;
};

} // namespace guardtest
