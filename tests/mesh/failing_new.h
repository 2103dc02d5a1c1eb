#pragma once

#include <cstddef>

// Makes the next operator new of exactly `size` bytes throw std::bad_alloc
// (0: none). Sizes pick out the plug-in's own allocations, so that the
// substitute host's bookkeeping is never the one that fails.
void failNextAllocationOfSize(std::size_t size);
// True once the armed failure has happened (and disarms it).
bool allocationFailureHappened();
