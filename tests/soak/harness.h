#pragma once

// The plug-in linked into the driving program and entered as a loader would,
// on a substitute host, with every host function it calls and every way back
// into the host wrapped: the wrappers count the plug-in's own uses of each
// host call (and make the Nth fail), and tell the allocation hook whether an
// operator new comes from the plug-in or from the host. After every frame the
// registry and the copies are checked against the host's own accounting.
//
// The plug-in's state lives for the whole process, so every session runs in a
// forked child (runChild); the parent adds up what the children report.

#include "sim/host.h"
#include "source_images.h"
#include "time_split.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace game {
struct TrackedVehicle;
}

namespace soak {

// ---- allocation faults (alloc_hook.cpp) ----------------------------------------
// operator new calls made by plug-in code so far (host and driver excluded).
std::uint64_t pluginAllocations();
// The `nth` plug-in allocation from the start of the process throws
// std::bad_alloc (0: none).
void failPluginAllocation(std::uint64_t nth);
bool pluginAllocationFailed();

// Scopes: plug-in code or host code runs below them.
// Each also charges the time below it to its side (time_split.h).
struct PluginScope {
    PluginScope();
    ~PluginScope();
    bool saved;
    Spend savedSpend;
};
struct HostScope {
    HostScope();
    ~HostScope();
    bool saved;
    Spend savedSpend;
};

// ---- host-call faults ----------------------------------------------------------------
constexpr int kHostCalls = static_cast<int>(sim::HostCall::Count);
const char* hostCallName(int call);
// The plug-in's uses of `call` so far, and the use that is made to fail.
std::uint32_t pluginUses(int call);
void failPluginUse(int call, std::uint32_t nth);

// ---- what a child reports -------------------------------------------------------------
struct Figures {
    std::uint64_t frames = 0;
    std::uint64_t collisions = 0;
    std::uint64_t pileUps = 0;
    std::uint64_t carsAdded = 0;
    std::uint32_t peakCars = 0; // the most at once
    std::uint64_t faultsInjected = 0;
    std::uint64_t violations = 0;
    std::uint64_t leaks = 0;
    std::uint64_t exceptions = 0;
    std::uint64_t pluginAllocations = 0;
    std::uint32_t uses[kHostCalls] = {};
    std::uint32_t completed = 0; // 1 when the child reached its end
    std::uint32_t emptyLog = 0;  // 1 when the session's log held no line (one violation)
};

// Runs `body` in a forked child and returns what it reported. A child that
// crashed or was stopped by a sanitizer counts one violation.
template <class Body>
Figures runChild(const char* what, Body body);
Figures runChildImpl(const char* what, void (*body)(void*, Figures&), void* context);
template <class Body>
Figures runChild(const char* what, Body body) {
    return runChildImpl(
        what, [](void* c, Figures& f) { (*static_cast<Body*>(c))(f); }, &body);
}

// Prints the violation (with the seed and frame given to setContext) and counts it.
void violation(Figures& f, const std::string& text);
void setContext(const std::string& context);

std::uint64_t envNumber(const char* name, std::uint64_t fallback);

// ---- one session ------------------------------------------------------------------------
class Session {
public:
    // Writes `ini` as the plug-in's settings file, starts the host and
    // enters the plug-in (process attach).
    Session(const std::string& ini, int poolSlots, Figures& figures);
    ~Session();

    sim::Host& host() { return *host_; }
    const std::string& logPath() const { return logPath_; }
    bool ok() const { return ok_; }

    // A car at `at`, its atomics' source geometries remembered; `body` is a
    // car read from a car file instead of the host's procedural car.
    void* addCar(dent::Vec at, int model, int detail = 1, const carfile::Car* body = nullptr);
    void removeCar(void* vehicle);
    // The game destroyed every vehicle (restart, shutdown).
    void forgetCars();
    const std::vector<void*>& cars() const { return order_; }

    // One frame through the patched call, then every invariant.
    void frame(std::uint32_t ms = 33);
    // One contact on `self` (with `other` or alone) inside the next frame.
    void queuePair(void* self, void* other, sim::ColPoint p, float impulseSelf, float impulseOther);
    void queueSingle(void* self, void* other, sim::ColPoint p, float impulse);
    void queueComponentDamage(void* vehicle, int component, float amount);
    void restart();
    // Ends the session, checks that every atomic went back to its source,
    // that nothing leaked and that the log holds only the plug-in's lines.
    void finish();

    void checkInvariants();
    // The invariants, and every atomic on its source (the game takes over).
    void checkReleased(const char* when);
    void checkAllOnSources(const char* when);
    // The plug-in's release freed `geometry`.
    void geometryFreed(void* geometry);

private:
    struct Atomic {
        void* atomic;
        void* source;
    };
    struct Car {
        std::vector<Atomic> atomics;
    };
    void checkLog();

    Figures& f_;
    std::unique_ptr<sim::Host> host_;
    bool ok_ = false;
    std::uint32_t baseline_ = 0;
    std::map<void*, Car> cars_;
    std::vector<void*> order_;
    SourceImages sources_;
    // Rebuilt by every check, sorted by their first member.
    std::vector<std::pair<const void*, const game::TrackedVehicle*>> owners_;  // copy -> record
    std::vector<std::pair<const void*, const game::TrackedVehicle*>> records_; // vehicle -> record
    std::string logPath_;
    std::uint64_t frameNumber_ = 0;
    std::set<void*> touched_; // vehicles in this frame's contacts
    bool deepAll_ = false;
    std::uint32_t freedAtLastCheck_ = 0; // the host's count of freed geometries
};

} // namespace soak
