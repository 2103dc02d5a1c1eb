#pragma once

#include <cstddef>
#include <cstdint>

namespace game {

// Lowest address a host pointer may plausibly have; the first 64 KiB are never
// mapped on the host's system, so anything below is a small integer or null.
constexpr std::uintptr_t kLowestHostAddress = 0x10000;

// True when `size` bytes from `address` fit below the top of the address
// space without wrapping (an end exactly at the top counts as wrapping).
inline bool rangeFits(std::uintptr_t address, std::uintptr_t size) {
    return size <= UINTPTR_MAX - address;
}

// True when every byte of [address, address + size) lies in committed,
// readable memory. Refuses an empty range, anything below 0x10000 and a range
// that wraps. It only asks the system: it cannot stop another thread from
// unmapping the memory afterwards.
bool readableRange(std::uintptr_t address, std::size_t size);

inline bool readableRange(const void* address, std::size_t size) {
    return readableRange(reinterpret_cast<std::uintptr_t>(address), size);
}

// How often the system could not answer a query of readableRange (it then
// answers false). A caller that sees the count move during its work knows
// that a refusal said nothing about the memory itself. Game thread only.
std::uint32_t memoryQueryFailures();

// Between these two calls the system's answers about readable regions are
// remembered, so that a frame's many guards ask about each region once. Only
// for stretches in which the plug-in alone runs on the game's thread: memory
// can change whenever the game runs, so remembering stops before it does.
void rememberReadableRegions();
void stopRememberingRegions();

// Drops what was remembered; called after anything that may unmap memory the
// plug-in knows of (its own geometry releases, code protection changes).
void forgetReadableRegions();

} // namespace game
