// The soak's remembered region answers against the system's own.

#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" bool __real__ZN8platform11queryRegionEjPNS_12MemoryRegionE(std::uintptr_t,
                                                                      platform::MemoryRegion*);

namespace {

void expectSystemAnswer(std::uintptr_t address) {
    platform::MemoryRegion remembered{}, system{};
    ASSERT_TRUE(platform::queryRegion(address, &remembered));
    ASSERT_TRUE(platform::queryRegion(address, &remembered)); // the second from memory
    ASSERT_TRUE(__real__ZN8platform11queryRegionEjPNS_12MemoryRegionE(address, &system));
    EXPECT_EQ(remembered.base, system.base);
    EXPECT_EQ(remembered.size, system.size);
    EXPECT_EQ(remembered.committed, system.committed);
    EXPECT_EQ(remembered.protection, system.protection);
}

TEST(MemoryQueryCache, AnswersAsTheSystemDoesWhileMappingsChange) {
    int onStack = 0;
    std::vector<int> onHeap(16);
    expectSystemAnswer(reinterpret_cast<std::uintptr_t>(&onStack));
    expectSystemAnswer(reinterpret_cast<std::uintptr_t>(onHeap.data()));
    expectSystemAnswer(reinterpret_cast<std::uintptr_t>(&expectSystemAnswer));
    expectSystemAnswer(0);

    const long page = sysconf(_SC_PAGESIZE);
    auto* block = static_cast<unsigned char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(block, MAP_FAILED);
    const auto at = reinterpret_cast<std::uintptr_t>(block);
    expectSystemAnswer(at);
    ASSERT_EQ(mprotect(block, page, PROT_NONE), 0);
    expectSystemAnswer(at);
    expectSystemAnswer(at + page);
    ASSERT_EQ(munmap(block, 2 * page), 0);
    expectSystemAnswer(at);

    // Heap growth past the remembered end of the heap.
    std::vector<void*> blocks;
    for (int i = 0; i < 64; ++i)
        blocks.push_back(std::malloc(1 << 20));
    for (void* b : blocks)
        expectSystemAnswer(reinterpret_cast<std::uintptr_t>(b) + (1 << 19));
    for (void* b : blocks)
        std::free(b);
}

} // namespace
