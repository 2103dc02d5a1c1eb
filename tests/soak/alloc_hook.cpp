// The allocation rule of the driving programs: counts the allocations made
// while plug-in code runs (harness.h scopes) and makes a chosen one fail.

#include "harness.h"

#include "../support/failable_new.h"
#include "dll_plugin.h"
#ifndef _WIN32
#include "winhost/call_counts.h"
#endif

namespace soak {

extern bool g_inPlugin;

namespace {
std::uint64_t g_allocations = 0;
std::uint64_t g_failAt = 0;
bool g_failed = false;

bool failNthPluginAllocation(std::size_t) {
    // The DLL's allocations never reach this program's operator new.
    if (!g_inPlugin || onDll()) return false;
    ++g_allocations;
    if (g_failAt == 0 || g_allocations != g_failAt) return false;
    g_failed = true;
    return true;
}

// Installed before main, so that the count starts with the program.
const bool g_ruleInstalled = (bwtest::setAllocationRule(failNthPluginAllocation), true);
} // namespace

#ifdef _WIN32
// Under Wine the DLL allocates through Wine's C runtime, which this program
// neither counts nor fails.
std::uint64_t pluginAllocations() {
    return onDll() ? 0 : g_allocations;
}
void failPluginAllocation(std::uint64_t nth) {
    g_failAt = nth;
}
bool pluginAllocationFailed() {
    return !onDll() && g_failed;
}
#else
// The DLL allocates through its C runtime's malloc (operator new included).
std::uint64_t pluginAllocations() {
    return onDll() ? winhost::uses("malloc") : g_allocations;
}
void failPluginAllocation(std::uint64_t nth) {
    g_failAt = nth;
    if (onDll()) winhost::failOnUse("malloc", static_cast<std::uint32_t>(nth));
}
bool pluginAllocationFailed() {
    return onDll() ? g_failAt != 0 && winhost::uses("malloc") >= g_failAt : g_failed;
}
#endif

} // namespace soak
