// The code the substitute host writes at the game's addresses, the same on
// every system; the memory under it is address_space_posix.cpp's or
// address_space_win32.cpp's.

#include "sim/address_space.h"

#include <cstring>

namespace sim::detail {

namespace {

constexpr std::size_t ThunkPrefix = 6; // push ebp; mov ebp, esp; and esp, -16

std::int32_t rel32(game::Address next, const void* target) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(target)) - next);
}

} // namespace

void writeJumpStub(game::Address a, const void* target) {
    std::uint8_t code[11] = {0x55, 0x89, 0xE5, 0x53, 0x5B, 0x5D, 0xE9};
    const std::int32_t d = rel32(a + 11, target);
    std::memcpy(code + 7, &d, 4);
    writeBytes(a, code, sizeof code);
}

void writeCallThunk(game::Address site, const void* target) {
    std::uint8_t code[ThunkPrefix + 5 + 2] = {0x55, 0x89, 0xE5, 0x83, 0xE4, 0xF0, 0xE8};
    const std::int32_t d = rel32(site + 5, target);
    std::memcpy(code + ThunkPrefix + 1, &d, 4);
    code[ThunkPrefix + 5] = 0xC9; // leave
    code[ThunkPrefix + 6] = 0xC3; // ret
    writeBytes(site - ThunkPrefix, code, sizeof code);
}

void (*callThunk(game::Address site))() {
    return reinterpret_cast<void (*)()>(static_cast<std::uintptr_t>(site - ThunkPrefix));
}

} // namespace sim::detail
