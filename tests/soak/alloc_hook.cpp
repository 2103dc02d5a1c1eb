// The allocation rule of the driving programs: counts the allocations made
// while plug-in code runs (harness.h scopes) and makes a chosen one fail.

#include "harness.h"

#include "../support/failable_new.h"

namespace soak {

extern bool g_inPlugin;

namespace {
std::uint64_t g_allocations = 0;
std::uint64_t g_failAt = 0;
bool g_failed = false;

bool failNthPluginAllocation(std::size_t) {
    if (!g_inPlugin) return false;
    ++g_allocations;
    if (g_failAt == 0 || g_allocations != g_failAt) return false;
    g_failed = true;
    return true;
}

// Installed before main, so that the count starts with the program.
const bool g_ruleInstalled = (bwtest::setAllocationRule(failNthPluginAllocation), true);
} // namespace

std::uint64_t pluginAllocations() { return g_allocations; }
void failPluginAllocation(std::uint64_t nth) { g_failAt = nth; }
bool pluginAllocationFailed() { return g_failed; }

} // namespace soak
