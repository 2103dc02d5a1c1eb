#pragma once

// The executable's address range at its real place, and the code written there.

#include <cstddef>
#include <cstdint>

#include "game/host_layout.h"

namespace sim::detail {

constexpr game::Address MapBegin = game::addr::ImageBase;
constexpr game::Address MapEnd = 0x95D000; // just past the last host global
constexpr game::Address CodeEnd = 0x600000; // image header and code: read-execute

// Maps the range without replacing anything already mapped. False when the
// range is taken.
bool mapHostRange();
void unmapHostRange();

// A relocatable prologue at `at` that ends in a jump to `target`:
// push ebp; mov ebp, esp; push ebx; pop ebx; pop ebp; jmp rel32. The first
// five bytes are whole instructions, so an inline hook can move them as they are.
void writeJumpStub(game::Address at, const void* target);

// A callable thunk whose near call (E8) sits exactly at `site` and reaches
// `target`: push ebp; mov ebp, esp; and esp, -16; call; leave; ret.
void writeCallThunk(game::Address site, const void* target);
// The thunk's entry, callable as a function without arguments.
void (*callThunk(game::Address site))();

void writeBytes(game::Address at, const void* bytes, std::size_t count);
// Code pages become read-execute; writeBytes into code lifts that briefly.
void protectCode();

} // namespace sim::detail
