#include "time_split.h"

#ifdef _WIN32
#include <windows.h>
#endif
#include <x86intrin.h>

#include <algorithm>
#include <ctime>

namespace soak {

namespace {

std::uint64_t g_ticks[static_cast<int>(Spend::Count)] = {};
Spend g_running = Spend::Driver;
std::uint64_t g_mark = 0;
std::uint64_t g_startTicks = 0;
double g_startNs = 0;

const char* (*g_phaseNow)() = nullptr;
struct PhaseTicks {
    const char* phase;
    std::uint64_t ticks;
};
constexpr int kPhases = 64;
PhaseTicks g_phases[kPhases] = {};
int g_phaseCount = 0;

void chargePhase(std::uint64_t ticks) {
    const char* phase = g_phaseNow != nullptr ? g_phaseNow() : "";
    int i = 0;
    while (i < g_phaseCount && g_phases[i].phase != phase)
        ++i;
    if (i == g_phaseCount) {
        if (g_phaseCount == kPhases) return;
        g_phases[g_phaseCount++] = {phase, 0};
    }
    g_phases[i].ticks += ticks;
}

// Processor time, not wall time: other programs sharing the machine would
// otherwise inflate whatever account was running when they ran.
double processNs() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    const auto ns = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) *
               100.0;
    };
    return ns(kernel) + ns(user);
#else
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
#endif
}

const bool g_started = (resetSpend(), true);

} // namespace

Spend spendOn(Spend to) {
    const std::uint64_t now = __rdtsc();
    g_ticks[static_cast<int>(g_running)] += now - g_mark;
    if (g_running == Spend::Plugin) chargePhase(now - g_mark);
    g_mark = now;
    const Spend before = g_running;
    g_running = to;
    return before;
}

void resetSpend() {
    for (std::uint64_t& t : g_ticks)
        t = 0;
    g_phaseCount = 0;
    g_startNs = processNs();
    g_mark = g_startTicks = __rdtsc();
}

namespace {
double msPerTick() {
    spendOn(g_running);
    const double ticks = static_cast<double>(g_mark - g_startTicks);
    return ticks > 0 ? (processNs() - g_startNs) / ticks / 1e6 : 0.0;
}
} // namespace

double spentMs(Spend account) {
    return static_cast<double>(g_ticks[static_cast<int>(account)]) * msPerTick();
}

void setPhaseSource(const char* (*phaseNow)()) {
    g_phaseNow = phaseNow;
}

int pluginPhases(PhaseSpend* out, int max) {
    const double k = msPerTick();
    PhaseTicks sorted[kPhases];
    for (int i = 0; i < g_phaseCount; ++i)
        sorted[i] = g_phases[i];
    std::sort(sorted, sorted + g_phaseCount,
              [](const PhaseTicks& a, const PhaseTicks& b) { return a.ticks > b.ticks; });
    const int n = g_phaseCount < max ? g_phaseCount : max;
    for (int i = 0; i < n; ++i)
        out[i] = {sorted[i].phase, static_cast<double>(sorted[i].ticks) * k};
    return n;
}

} // namespace soak
