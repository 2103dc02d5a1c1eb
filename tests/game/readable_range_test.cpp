#include "game/readable_range.h"

#include "guard_pages.h"

#include <gtest/gtest.h>

using game::readableRange;
using guardtest::Pages;

TEST(ReadableRange, RefusesImplausibleRanges) {
    Pages pages(1);
    ASSERT_TRUE(pages.ok());
    const std::uintptr_t a = pages.address(0);
    EXPECT_FALSE(readableRange(a, 0));
    EXPECT_FALSE(readableRange(std::uintptr_t{0}, 16));
    EXPECT_FALSE(readableRange(std::uintptr_t{0xFFFF}, 1));
    // Ending exactly at the top of the address space counts as wrapping.
    EXPECT_FALSE(readableRange(UINTPTR_MAX - 15, 16));
    EXPECT_FALSE(readableRange(UINTPTR_MAX, 1));
    EXPECT_FALSE(readableRange(a, UINTPTR_MAX));
    EXPECT_TRUE(readableRange(a, 1));
}

TEST(ReadableRange, FollowsPageProtections) {
    // rw | none | r | rw | unmapped
    Pages pages(5);
    ASSERT_TRUE(pages.ok());
    const std::size_t ps = pages.pageSize();
    ASSERT_TRUE(pages.protect(1, PROT_NONE));
    ASSERT_TRUE(pages.protect(2, PROT_READ));
    ASSERT_TRUE(pages.unmap(4));

    struct Case {
        const char* what;
        std::uintptr_t address;
        std::size_t size;
        bool readable;
    };
    const Case cases[] = {
        {"whole first page", pages.address(0), ps, true},
        {"last byte before the no-access page", pages.address(1) - 1, 1, true},
        {"one byte into the no-access page", pages.address(1) - 1, 2, false},
        {"inside the no-access page", pages.address(1) + 8, 4, false},
        {"read-only page", pages.address(2), ps, true},
        {"read-only then read-write: two regions", pages.address(2) + ps / 2, ps, true},
        {"up to the unmapped page", pages.address(3), ps, true},
        {"into the unmapped page", pages.address(3) + ps - 4, 8, false},
        {"unmapped page", pages.address(4), 4, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readableRange(c.address, c.size), c.readable) << c.what;
    }
}

// Within a stretch of remembering, a readable region is asked about once: a
// change behind the plug-in's back shows only after it forgets (as it does at
// its own releases and at every frame's end). Unreadable answers are never
// kept, so memory that becomes readable is seen at once.
TEST(ReadableRange, RemembersReadableRegionsUntilItForgets) {
    Pages pages(2);
    ASSERT_TRUE(pages.ok());
    ASSERT_TRUE(pages.protect(1, PROT_NONE));
    const std::uintptr_t first = pages.address(0), second = pages.address(1);

    game::rememberReadableRegions();
    EXPECT_FALSE(readableRange(second, 4));
    ASSERT_TRUE(pages.protect(1, PROT_READ));
    EXPECT_TRUE(readableRange(second, 4)) << "an unreadable answer was kept";
    EXPECT_TRUE(readableRange(first, 4));
    ASSERT_TRUE(pages.protect(0, PROT_NONE));
    EXPECT_TRUE(readableRange(first, 4)) << "remembered";
    game::forgetReadableRegions();
    EXPECT_FALSE(readableRange(first, 4));
    ASSERT_TRUE(pages.protect(0, PROT_READ | PROT_WRITE));
    EXPECT_TRUE(readableRange(first, 4));

    game::stopRememberingRegions();
    ASSERT_TRUE(pages.protect(0, PROT_NONE));
    EXPECT_FALSE(readableRange(first, 4)) << "asked again once remembering stopped";
    ASSERT_TRUE(pages.protect(0, PROT_READ | PROT_WRITE));
}
