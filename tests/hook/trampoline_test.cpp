#include "hook/trampoline.h"

#include "platform/code_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using hook::buildTrampoline;
using hook::TrampolineError;
using hook::TrampolineLayout;

std::uintptr_t address(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

std::int32_t read32(const std::uint8_t* p) {
    std::int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Where the rel32 branch whose offset field is at `field` leads.
std::uintptr_t rel32Destination(const std::uint8_t* field) {
    return address(field + 4) + static_cast<std::uintptr_t>(read32(field));
}

// Source code lives in executable memory (the builder looks at call targets
// there); the trampoline is built into an ordinary buffer.
class TrampolineBuild : public ::testing::Test {
  protected:
    void SetUp() override {
        page_ = static_cast<std::uint8_t*>(platform::allocateExecutable(4096));
        ASSERT_NE(page_, nullptr);
        std::memset(page_, 0xCC, 4096);
        std::memset(out_, 0, sizeof out_);
    }
    void TearDown() override { platform::freeExecutable(page_, 4096); }

    // Places `bytes` at `offset` of the page and returns where they are.
    std::uint8_t* place(unsigned offset, const std::vector<std::uint8_t>& bytes) {
        std::memcpy(page_ + offset, bytes.data(), bytes.size());
        return page_ + offset;
    }

    TrampolineError build(const std::uint8_t* target, std::size_t capacity = sizeof(out_)) {
        return buildTrampoline(target, out_, capacity, &layout_);
    }

    std::uint8_t* page_ = nullptr;
    alignas(16) std::uint8_t out_[hook::trampolineCapacity];
    TrampolineLayout layout_;
};

TEST_F(TrampolineBuild, CopiesWholeInstructionsAndJumpsToTheRest) {
    // push ebp; mov ebp, esp; sub esp, 0x10; ...
    const std::uint8_t* target = place(0, {0x55, 0x89, 0xE5, 0x83, 0xEC, 0x10, 0x90, 0xC3});
    ASSERT_EQ(build(target), TrampolineError::none);
    EXPECT_EQ(layout_.copiedSize, 6);
    EXPECT_EQ(layout_.count, 3);
    EXPECT_EQ(layout_.oldOffsets[2], 3);
    EXPECT_EQ(layout_.newOffsets[2], 3);
    EXPECT_EQ(std::memcmp(out_, target, 6), 0);
    ASSERT_TRUE(layout_.jumpsBack);
    EXPECT_EQ(out_[6], 0xE9);
    EXPECT_EQ(rel32Destination(out_ + 7), address(target + 6));
    EXPECT_EQ(layout_.size, 11);
}

TEST_F(TrampolineBuild, RelativeBranchesStillReachTheirTargets) {
    struct Case {
        const char* text;
        unsigned at; // page offset of the function
        std::vector<std::uint8_t> code;
        unsigned branchAt;                 // offset of the branch in `code`
        unsigned destination;              // page offset the branch leads to
        std::vector<std::uint8_t> emitted; // what the branch becomes, up to its rel32
        unsigned fieldAt;                  // where that rel32 starts in the trampoline
        bool jumpsBack;
    };
    const Case cases[] = {
        {"call rel32", 0, {0xE8, 0xFB, 0x01, 0x00, 0x00}, 0, 0x200, {0xE8}, 1, true},
        {"jmp rel32 ends the copy", 0, {0xE9, 0xFB, 0x01, 0x00, 0x00}, 0, 0x200, {0xE9}, 1, false},
        {"jmp rel8 after a mov",
         0,
         {0x8B, 0x44, 0x24, 0x04, 0xEB, 0x7A},
         4,
         0x80,
         {0xE9},
         5,
         false},
        {"jz rel8 widens to rel32",
         0,
         {0x85, 0xC9, 0x74, 0x7C, 0x90, 0x90},
         2,
         0x80,
         {0x0F, 0x84},
         4,
         true},
        {"jl rel8 backwards",
         0x800,
         {0x85, 0xC9, 0x7C, 0xF0, 0x90, 0x90},
         2,
         0x7F4,
         {0x0F, 0x8C},
         4,
         true},
        {"jnz rel32", 0, {0x0F, 0x85, 0x7A, 0x00, 0x00, 0x00}, 0, 0x80, {0x0F, 0x85}, 2, true},
        {"branch hint kept",
         0,
         {0x3E, 0x74, 0x7D, 0x90, 0x90, 0x90},
         0,
         0x80,
         {0x3E, 0x0F, 0x84},
         3,
         true},
        {"jecxz branches over a near jump",
         0,
         {0xE3, 0x7E, 0x90, 0x90, 0x90},
         0,
         0x80,
         {0xE3, 0x02, 0xEB, 0x05, 0xE9},
         5,
         true},
        {"loop likewise",
         0,
         {0x90, 0xE2, 0x7D, 0x90, 0x90},
         1,
         0x80,
         {0xE2, 0x02, 0xEB, 0x05, 0xE9},
         6,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::memset(page_, 0xCC, 4096);
        const std::uint8_t* target = place(c.at, c.code);
        ASSERT_EQ(build(target), TrampolineError::none);
        unsigned index = 0;
        while (index < layout_.count && layout_.oldOffsets[index] != c.branchAt)
            ++index;
        ASSERT_LT(index, layout_.count);
        const unsigned newAt = layout_.newOffsets[index];
        ASSERT_EQ(std::memcmp(out_ + newAt, c.emitted.data(), c.emitted.size()), 0);
        EXPECT_EQ(newAt + c.emitted.size(), c.fieldAt);
        EXPECT_EQ(rel32Destination(out_ + c.fieldAt), address(page_ + c.destination));
        EXPECT_EQ(layout_.jumpsBack, c.jumpsBack);
        if (c.jumpsBack) {
            EXPECT_EQ(out_[layout_.size - 5], 0xE9);
            EXPECT_EQ(rel32Destination(out_ + layout_.size - 4),
                      address(target + layout_.copiedSize));
        }
    }
}

TEST_F(TrampolineBuild, PcThunkCallBecomesALoadOfTheOriginalReturnAddress) {
    // call thunk (mov ebx, [esp]; ret at +0x100); add ebx, imm32
    place(0x100, {0x8B, 0x1C, 0x24, 0xC3});
    const std::uint8_t* target = place(0, {0xE8, 0xFB, 0x00, 0x00, 0x00, 0x81, 0xC3, 1, 2, 3, 4});
    ASSERT_EQ(build(target), TrampolineError::none);
    EXPECT_EQ(out_[0], 0xB8 + 3); // mov ebx, imm32
    EXPECT_EQ(static_cast<std::uintptr_t>(static_cast<std::uint32_t>(read32(out_ + 1))),
              address(target + 5));
    EXPECT_EQ(layout_.copiedSize, 5);
}

TEST_F(TrampolineBuild, CallToTheNextInstructionPushesTheOriginalAddress) {
    // call $+5; pop eax; ...
    const std::uint8_t* target = place(0, {0xE8, 0x00, 0x00, 0x00, 0x00, 0x58, 0x90});
    ASSERT_EQ(build(target), TrampolineError::none);
    EXPECT_EQ(out_[0], 0x68); // push imm32
    EXPECT_EQ(static_cast<std::uintptr_t>(static_cast<std::uint32_t>(read32(out_ + 1))),
              address(target + 5));
    EXPECT_EQ(rel32Destination(out_ + 6), address(target + 5));
}

TEST_F(TrampolineBuild, ACallToAnOrdinaryFunctionIsNotTakenForAThunk) {
    // The callee reads [esp] but does more than return it.
    place(0x100, {0x8B, 0x04, 0x24, 0x40, 0xC3});
    // mov esp, [esp]; ret is no thunk either.
    place(0x200, {0x8B, 0x24, 0x24, 0xC3});
    for (unsigned callee : {0x100u, 0x200u}) {
        const std::uint32_t rel = callee - 5;
        std::uint8_t code[] = {0xE8, 0, 0, 0, 0, 0x90};
        std::memcpy(code + 1, &rel, 4);
        const std::uint8_t* target = place(0, std::vector<std::uint8_t>(code, code + sizeof code));
        ASSERT_EQ(build(target), TrampolineError::none);
        EXPECT_EQ(out_[0], 0xE8);
        EXPECT_EQ(rel32Destination(out_ + 1), address(page_ + callee));
    }
}

TEST_F(TrampolineBuild, IndirectJumpOfFiveBytesOrMoreEndsTheCopy) {
    const std::uint8_t* target = place(0, {0xFF, 0x25, 0x78, 0x56, 0x34, 0x12});
    ASSERT_EQ(build(target), TrampolineError::none);
    EXPECT_FALSE(layout_.jumpsBack);
    EXPECT_EQ(layout_.size, 6);
    EXPECT_EQ(std::memcmp(out_, target, 6), 0);
}

TEST_F(TrampolineBuild, RefusesWhatCannotBeMovedSafely) {
    struct Case {
        const char* text;
        std::vector<std::uint8_t> code;
        TrampolineError error;
        unsigned failedAt; // offset of the instruction named
    };
    const Case cases[] = {
        {"ret", {0xC3}, TrampolineError::tooShort, 0},
        {"xor eax, eax; ret", {0x31, 0xC0, 0xC3}, TrampolineError::tooShort, 2},
        {"ret 8", {0xC2, 0x08, 0x00}, TrampolineError::tooShort, 0},
        {"jmp ecx", {0xFF, 0xE1}, TrampolineError::tooShort, 0},
        {"jmp rel8", {0xEB, 0x10}, TrampolineError::tooShort, 0},
        {"loop back into the first bytes",
         {0x49, 0x75, 0xFD, 0x89, 0xC8, 0xC3},
         TrampolineError::branchIntoPatch,
         1},
        {"branch to the function's start",
         {0x90, 0x74, 0xFD, 0x90, 0x90, 0x90},
         TrampolineError::branchIntoPatch,
         1},
        {"jump forward into the overwritten bytes",
         {0x74, 0x01, 0x90, 0x90, 0x90, 0x90},
         TrampolineError::branchIntoPatch,
         0},
        {"undefined opcode", {0x90, 0x0F, 0x04, 0x90, 0x90}, TrampolineError::undecodable, 1},
        {"16-bit relative call",
         {0x66, 0xE8, 0x10, 0x00, 0x90},
         TrampolineError::unsupportedBranch,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::memset(page_, 0xCC, 64);
        const std::uint8_t* target = place(0, c.code);
        EXPECT_EQ(build(target), c.error);
        EXPECT_EQ(layout_.failedAt, address(target + c.failedAt));
    }
}

TEST_F(TrampolineBuild, ABranchToTheEndOfTheCopiedBytesIsAllowed) {
    // jz +3 lands on the first byte the jump does not overwrite.
    const std::uint8_t* target = place(0, {0x74, 0x03, 0x90, 0x90, 0x90, 0x90});
    ASSERT_EQ(build(target), TrampolineError::none);
    EXPECT_EQ(rel32Destination(out_ + 2), address(target + 5));
}

TEST_F(TrampolineBuild, ReportsWhenTheOutputIsTooSmall) {
    const std::uint8_t* target = place(0, {0x55, 0x89, 0xE5, 0x83, 0xEC, 0x10});
    EXPECT_EQ(build(target, 12), TrampolineError::noRoom);
}

} // namespace
