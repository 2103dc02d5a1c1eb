#pragma once

// Where a soak's time goes: the plug-in, the substitute host, the checks and
// the driver. Each moment is charged to one account; the scopes of harness.h
// switch it. The time stamp counter is read at every switch (a clock call
// would be a system call under the emulator); the counts are turned into
// milliseconds of processor time in proportion.

#include <cstdint>

namespace soak {

enum class Spend { Plugin, Host, Checks, Driver, Count };

// Charges the time since the last switch to the running account, makes `to`
// the running one and returns the one before.
Spend spendOn(Spend to);

struct SpendScope {
    explicit SpendScope(Spend to) : saved(spendOn(to)) {}
    ~SpendScope() { spendOn(saved); }
    SpendScope(const SpendScope&) = delete;
    SpendScope& operator=(const SpendScope&) = delete;
    Spend saved;
};

// Starts every account at zero (a forked session starts its own).
void resetSpend();

// Milliseconds charged to `account` since the reset.
double spentMs(Spend account);

// The plug-in's time is also split by the phase it names at the end of each
// stretch (`phaseNow` is asked at every switch away from the plug-in).
void setPhaseSource(const char* (*phaseNow)());
struct PhaseSpend {
    const char* phase;
    double ms;
};
// Up to `max` phases, the costliest first; returns how many.
int pluginPhases(PhaseSpend* out, int max);

} // namespace soak
