#pragma once

// Moves a function's first instructions into a trampoline: whole instructions
// covering the 5 bytes that the hook's jump will overwrite, with relative
// branches re-aimed so they reach their old targets, followed by a jump to the
// rest of the function. Calling the trampoline runs the original function.

#include <cstddef>
#include <cstdint>

namespace hook {

// E9 rel32: the jump written over the target's first bytes.
constexpr unsigned patchSize = 5;

// Room for one trampoline: at most five copied instructions (each covering at
// least a byte of the five), the longest 15 bytes, the widest rewrite 9
// (loop/jecxz), plus the jump back.
constexpr unsigned trampolineCapacity = 64;

constexpr unsigned maxCopiedInstructions = patchSize;

enum class TrampolineError {
    none,
    undecodable,       // an instruction the decoder does not know
    tooShort,          // the function ends (return, jump) before 5 bytes
    branchIntoPatch,   // a copied branch leads back into the overwritten bytes
    unsupportedBranch, // a 16-bit relative branch, which cannot be re-aimed
    noRoom,            // the rewritten code does not fit the capacity given
};

struct TrampolineLayout {
    std::uint8_t copiedSize = 0;                         // target bytes moved (at least patchSize)
    std::uint8_t size = 0;                               // bytes written into the trampoline
    std::uint8_t count = 0;                              // instructions moved
    std::uint8_t oldOffsets[maxCopiedInstructions] = {}; // where each began in the target
    std::uint8_t newOffsets[maxCopiedInstructions] = {}; // where its copy begins in the trampoline
    bool jumpsBack = false;                              // ends with a jump to target + copiedSize
    std::uintptr_t failedAt = 0;                         // the instruction that stopped the build
};

// Builds the trampoline for `target` into `out` (`capacity` bytes), which is
// where it will run: branch offsets are computed from its address.
TrampolineError buildTrampoline(const std::uint8_t* target, std::uint8_t* out, std::size_t capacity,
                                TrampolineLayout* layout);

// The register (0 eax .. 7 edi) loaded by a position-independent-code thunk at
// `address` (mov reg, [esp]; ret), or -1 when the bytes there are something
// else. Such a thunk reads its return address, so a call to it cannot be moved.
int pcThunkRegister(const std::uint8_t* address);

} // namespace hook
