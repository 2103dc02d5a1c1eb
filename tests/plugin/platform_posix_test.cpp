// The POSIX stand-ins for the module, memory, time and key calls.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace {

std::string executable() {
    char buffer[512];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

int someFunction(int x) { return x * 3; }
const char kReadOnly[] = "constant text";

TEST(PlatformPosix, ModulePaths) {
    char path[260];
    ASSERT_TRUE(platform::ownModulePath(path, sizeof path));
    EXPECT_EQ(path, executable());
    char tiny[4];
    EXPECT_FALSE(platform::ownModulePath(tiny, sizeof tiny)); // a cut path is no path

    std::uintptr_t base = 1;
    auto code = reinterpret_cast<std::uintptr_t>(&someFunction);
    ASSERT_TRUE(platform::moduleAt(code, &base, path, sizeof path));
    EXPECT_EQ(path, executable());
    EXPECT_LE(base, code);
    EXPECT_EQ(base, platform::executableBase());

    void* anon = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(anon, MAP_FAILED);
    EXPECT_FALSE(platform::moduleAt(reinterpret_cast<std::uintptr_t>(anon), &base, path, sizeof path));
    EXPECT_EQ(base, 0u);
    EXPECT_STREQ(path, "");
    munmap(anon, 4096);
}

TEST(PlatformPosix, RegionsMirrorTheProcessMappings) {
    const long page = sysconf(_SC_PAGESIZE);
    auto* block = static_cast<char*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(block, MAP_FAILED);
    ASSERT_EQ(mprotect(block + page, page, PROT_NONE), 0);
    ASSERT_EQ(munmap(block + 2 * page, page), 0);
    int onStack = 0;

    struct Case {
        const char* what;
        std::uintptr_t address;
        bool committed;
        std::uint32_t protection;
    } cases[] = {
        {"stack", reinterpret_cast<std::uintptr_t>(&onStack), true, 0x04},
        {"code", reinterpret_cast<std::uintptr_t>(&someFunction), true, 0x20},
        {"constant", reinterpret_cast<std::uintptr_t>(kReadOnly), true, 0x02},
        {"no access", reinterpret_cast<std::uintptr_t>(block + page + 10), true, 0x01},
        {"read-write", reinterpret_cast<std::uintptr_t>(block + 5), true, 0x04},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::MemoryRegion r{};
        ASSERT_TRUE(platform::queryRegion(c.address, &r));
        EXPECT_EQ(r.committed, c.committed);
        if (c.protection == 0x20 && r.protection == 0x02) {
            // qemu's user-mode emulation lists guest code without its execute bit.
        } else {
            EXPECT_EQ(r.protection, c.protection);
        }
        EXPECT_LE(r.base, c.address);
        EXPECT_GT(r.base + r.size, c.address);
    }
    platform::MemoryRegion hole{};
    ASSERT_TRUE(platform::queryRegion(0, &hole)); // page zero is never mapped
    EXPECT_FALSE(hole.committed);
#if defined(__SANITIZE_ADDRESS__)
    // A float read as a pointer lands here (1.0f is 0x3F800000): the address
    // sanitizer's shadow, mapped but unreadable to instrumented code.
    platform::MemoryRegion shadow{};
    ASSERT_TRUE(platform::queryRegion(0x3F800000u, &shadow));
    EXPECT_FALSE(shadow.committed);
#endif

    // Protection change with page rounding, reporting the old value.
    std::uint32_t old = 0;
    ASSERT_TRUE(platform::protect(block + 100, 8, 0x02, &old));
    EXPECT_EQ(old, 0x04u);
    platform::MemoryRegion r{};
    ASSERT_TRUE(platform::queryRegion(reinterpret_cast<std::uintptr_t>(block), &r));
    EXPECT_EQ(r.protection, 0x02u);
    ASSERT_TRUE(platform::protect(block, 1, old, &old));
    EXPECT_EQ(old, 0x02u);
    block[0] = 1; // writable again
    EXPECT_FALSE(platform::protect(block + 2 * page, 8, 0x04, &old)); // unmapped
    EXPECT_FALSE(platform::protect(block, 8, 0x1234, &old));          // no such protection
    munmap(block, 2 * page);
}

TEST(PlatformPosix, TimeAndKeysAreDrivenByTests) {
    platform::testing::setTickCount(0xFFFFFFF0u);
    EXPECT_EQ(platform::tickCount(), 0xFFFFFFF0u);
    platform::testing::setTickCount(5);
    EXPECT_EQ(platform::tickCount(), 5u);

    EXPECT_FALSE(platform::keyDown(0x76));
    platform::testing::setKeyDown(0x76, true);
    EXPECT_TRUE(platform::keyDown(0x76));
    platform::testing::setKeyDown(0x76, false);
    EXPECT_FALSE(platform::keyDown(0x76));
    EXPECT_FALSE(platform::keyDown(-1));
    EXPECT_FALSE(platform::keyDown(4096));
}

} // namespace
