#pragma once

// The frame's dent work, counted in mesh points and lattice points handled
// (never in time, so that a session plays the same everywhere). The first
// touches of the first two cars of a frame always run (unless earlier work
// still waits); a further car's start only while the frame's work is below
// MaxDentWorkPerFrame, and otherwise wait for a later frame, in the order
// they came. Outside beginFrameWork .. endFrameWork there is no limit.

#include <cstdint>

namespace mesh {

void beginFrameWork();
void endFrameWork();
std::uint32_t frameWorkDone();

// Work is counted in mesh points handled: a copy's source vertices and
// triangles, a rebuilt panel's vertices twice (cut and mapped), the vertices
// a dent moves or places, half a hidden panel's vertices to count them.
void charge(std::uint64_t work);

bool frameBudgetSpent();
// Whether a car's first touches, decided at its first one, wait for a later
// frame: behind work still carried, or once two cars' first touches ran in
// this frame, for as long as its work is at the budget.
bool firstTouchesWait();
// A car whose first touches ran in this frame.
void countCarStarted();
// Carried work is left after the frame's share of it.
void noteWorkWaiting();
// The place of the next waiting work among all waiting work, oldest first.
std::uint64_t takeTurn();

} // namespace mesh
