#include "hook/thread_freeze.h"

#include "hook/trampoline.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

using hook::HookEntry;

// test ecx, ecx; jz +0x10; nop; ... : moved instructions at 0, 2, 4; in the
// trampoline the jz grows to 6 bytes, so the copies sit at 0, 2, 8 and the
// jump back at 9.
class ThreadPlacement : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::uint8_t code[] = {0x85, 0xC9, 0x74, 0x10, 0x90, 0x90, 0x90, 0x90};
        std::memcpy(target_, code, sizeof code);
        entry_.target = target_;
        entry_.trampoline = trampoline_;
        ASSERT_EQ(hook::buildTrampoline(target_, trampoline_, sizeof trampoline_, &entry_.layout),
                  hook::TrampolineError::none);
        ASSERT_EQ(entry_.layout.count, 3);
        ASSERT_EQ(entry_.layout.newOffsets[2], 8);
        ASSERT_EQ(entry_.layout.size, 14);
    }
    std::uintptr_t t(unsigned offset) const {
        return reinterpret_cast<std::uintptr_t>(target_ + offset);
    }
    std::uintptr_t tr(unsigned offset) const {
        return reinterpret_cast<std::uintptr_t>(trampoline_ + offset);
    }

    std::uint8_t target_[32] = {};
    std::uint8_t trampoline_[hook::trampolineCapacity] = {};
    HookEntry entry_{};
};

TEST_F(ThreadPlacement, EnablingMovesThreadsAtMovedInstructionsIntoTheTrampoline) {
    const struct {
        std::uintptr_t ip, expected;
    } cases[] = {
        {t(0), t(0)},                  // at the start: runs into the detour like any new call
        {t(2), tr(2)},  {t(4), tr(8)}, // after the widened branch
        {t(1), t(1)},                  // not an instruction boundary: left alone
        {t(5), t(5)},                  // past the moved bytes
        {tr(2), tr(2)},                // already in the trampoline
    };
    for (const auto& c : cases)
        EXPECT_EQ(hook::ipAfterEnable(entry_, c.ip), c.expected);
}

TEST_F(ThreadPlacement, DisablingMovesThreadsOutOfTheTrampoline) {
    const struct {
        std::uintptr_t ip, expected;
    } cases[] = {
        {tr(0), t(0)},  {tr(2), t(2)},
        {tr(8), t(4)},  {tr(9), t(5)}, // the jump back: continue after the moved bytes
        {tr(3), tr(3)},                // inside the widened branch: not a boundary
        {t(2), t(2)},                  // already in the original
    };
    for (const auto& c : cases)
        EXPECT_EQ(hook::ipAfterDisable(entry_, c.ip), c.expected);
}

} // namespace
