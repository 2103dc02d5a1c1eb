#pragma once

// A replacement of the global operator new for test programs that make the
// plug-in's allocations fail, as a full heap would inside the game. Each
// program links failable_new.cpp and installs the rule that picks the
// allocation to fail.

#include <cstddef>

namespace bwtest {

// Called for every operator new; true makes that allocation throw
// std::bad_alloc. Null (the default) fails nothing.
using AllocationRule = bool (*)(std::size_t size);
void setAllocationRule(AllocationRule rule);

} // namespace bwtest
