#pragma once

// What the session's files share and harness.h keeps to itself: the wrapped
// host table and the state its wrappers keep for the session.

#include "harness.h"

#include <cstdint>

namespace soak {

// Whether plug-in code runs below the current scope (harness.cpp).
extern bool g_inPlugin;

// ---- host-call wrappers (host_call_wrappers.cpp) ----------------------------------------

extern sim::Host* g_host;
extern std::uint32_t g_uses[kHostCalls];
extern std::uint64_t g_injected;
extern std::uint64_t g_failedDestroys;
extern Session* g_session;

void wrapTable();
void wrapLate();

} // namespace soak
