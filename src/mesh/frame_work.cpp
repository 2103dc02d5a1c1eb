#include "mesh/frame_work.h"

#include "plugin/settings.h"

namespace mesh {

namespace {
std::uint32_t g_work = 0;
unsigned g_carsStarted = 0;
bool g_workWaiting = false;
// No limit outside a frame's update (tests that drive the walk themselves).
std::uint32_t g_budget = UINT32_MAX;
std::uint64_t g_nextTurn = 1;
} // namespace

void beginFrameWork() {
    g_work = 0;
    g_budget = plugin::settings().maxDentWorkPerFrame;
    g_carsStarted = 0;
    g_workWaiting = false;
}

void endFrameWork() {
    g_budget = UINT32_MAX;
    g_carsStarted = 0;
    g_workWaiting = false;
}

std::uint32_t frameWorkDone() { return g_work; }

void charge(std::uint64_t work) {
    const std::uint64_t total = g_work + work;
    g_work = total > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(total);
}

bool frameBudgetSpent() { return g_work >= g_budget; }

bool firstTouchesWait() { return g_workWaiting || (g_carsStarted >= 2 && frameBudgetSpent()); }

void countCarStarted() { ++g_carsStarted; }

void noteWorkWaiting() { g_workWaiting = true; }

std::uint64_t takeTurn() { return g_nextTurn++; }

} // namespace mesh
