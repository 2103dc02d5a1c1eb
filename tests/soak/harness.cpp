#include "harness.h"

#include "dll_plugin.h"

#include "game/contact_capture.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/part_retention.h"
#include "game/registry.h"
#include "mesh/deform_atomic.h"
#include "orchestration/frame_hook.h"
#include "orchestration/hook_installation.h"
#include "orchestration/lifecycle.h"
#include "orchestration/startup.h"
#include "platform/platform.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace soak {

// ---- scopes -------------------------------------------------------------------------------

bool g_inPlugin = false;

PluginScope::PluginScope() : saved(g_inPlugin), savedSpend(spendOn(Spend::Plugin)) {
    g_inPlugin = true;
}
PluginScope::~PluginScope() {
    g_inPlugin = saved;
    spendOn(savedSpend);
}
HostScope::HostScope() : saved(g_inPlugin), savedSpend(spendOn(Spend::Host)) {
    g_inPlugin = false;
}
HostScope::~HostScope() {
    g_inPlugin = saved;
    spendOn(savedSpend);
}

// ---- host-call wrappers ---------------------------------------------------------------------

namespace {

sim::Host* g_host = nullptr;
std::uint32_t g_uses[kHostCalls] = {};
std::uint32_t g_failAt[kHostCalls] = {};
std::uint64_t g_injected = 0;
// The engine's destroy never fails; when the sweep makes it fail, the
// geometry it should have freed stays alive, and nothing may retry it.
std::uint64_t g_failedDestroys = 0;
std::string g_context;

const char* const kCallNames[kHostCalls] = {
    "Atomics",          "VehicleByRef",     "VehicleRef",    "PlayerVehicle", "PlayerPed",
    "CreateGeometry",   "DestroyGeometry",  "SetGeometry",   "Lock",          "Unlock",
    "TriangleVertices", "TriangleMaterial", "GeometrySkin",  "FrameLTM",      "FrameName",
    "AtomicFlags",      "GetDoorStatus",    "SetDoorStatus", "GetLightStatus"};

// Counts a use by the plug-in and arms the host's own fault for the chosen one.
void use(sim::HostCall call) {
    if (!g_inPlugin) return;
    const int c = static_cast<int>(call);
    ++g_uses[c];
    if (g_failAt[c] != 0 && g_uses[c] == g_failAt[c] && g_host != nullptr) {
        g_host->failOnUse(call, 1);
        ++g_injected;
        if (call == sim::HostCall::DestroyGeometry) ++g_failedDestroys;
    }
}

struct Originals {
    game::AtomicsFn atomics;
    game::VehicleByRefFn vehicleByRef;
    game::VehicleRefFn vehicleRef;
    game::PlayerVehicleFn playerVehicle;
    game::PlayerPedFn playerPed;
    game::CreateGeometryFn createGeometry;
    game::DestroyGeometryFn destroyGeometry;
    game::SetGeometryFn setGeometry;
    game::LockFn lock;
    game::UnlockFn unlock;
    game::TriangleVerticesFn triangleVertices;
    game::TriangleMaterialFn triangleMaterial;
    game::GeometrySkinFn geometrySkin;
    game::FrameLTMFn frameLTM;
    game::FrameNameFn frameName;
    game::AtomicFlagsFn atomicFlags;
    game::GetDoorStatusFn getDoorStatus;
    game::SetDoorStatusFn setDoorStatus;
    game::GetLightStatusFn getLightStatus;
    game::PlainCallFn process;
    game::PairContactFn pair;
    game::SingleContactFn single;
    game::ComponentDamageFn componentDamage;
    game::DamageResetFn damageReset;
    game::GameShutdownFn gameShutdown;
    game::ShutDownForRestartFn restart;
    game::PlainCallFn poolsShutdown;
    game::PlainCallFn renderWareShutdown;
} o{};

struct Relay {
    game::AtomicCallback callback;
    void* data;
};

void* BW_CDECL relayAtomic(void* atomic, void* data) {
    const Relay* r = static_cast<const Relay*>(data);
    PluginScope p;
    return r->callback(atomic, r->data);
}

void* BW_CDECL wAtomics(void* ro, game::AtomicCallback cb, void* data) {
    use(sim::HostCall::Atomics);
    Relay relay{cb, data};
    HostScope h;
    return o.atomics(ro, cb != nullptr ? &relayAtomic : nullptr, cb != nullptr ? &relay : data);
}

#define BW_WRAP(NAME, CALL, RET, PARAMS, ARGS) \
    RET BW_CDECL w_##NAME PARAMS {            \
        use(sim::HostCall::CALL);             \
        HostScope h;                          \
        return o.NAME ARGS;                   \
    }
BW_WRAP(vehicleByRef, VehicleByRef, void*, (std::int32_t a), (a))
BW_WRAP(vehicleRef, VehicleRef, std::int32_t, (void* a), (a))
BW_WRAP(playerVehicle, PlayerVehicle, void*, (), ())
BW_WRAP(playerPed, PlayerPed, void*, (), ())
BW_WRAP(createGeometry, CreateGeometry, void*, (std::int32_t a, std::int32_t b, std::uint32_t c), (a, b, c))
BW_WRAP(setGeometry, SetGeometry, void*, (void* a, void* b, std::uint32_t c), (a, b, c))
BW_WRAP(lock, Lock, void*, (void* a, std::int32_t b), (a, b))
BW_WRAP(unlock, Unlock, void*, (void* a), (a))
BW_WRAP(triangleVertices, TriangleVertices, void*,
        (void* g, game::Triangle* t, std::uint16_t a, std::uint16_t b, std::uint16_t c), (g, t, a, b, c))
BW_WRAP(triangleMaterial, TriangleMaterial, void*, (void* g, game::Triangle* t, void* m), (g, t, m))
BW_WRAP(geometrySkin, GeometrySkin, void*, (void* a), (a))
BW_WRAP(frameLTM, FrameLTM, void*, (void* a), (a))
BW_WRAP(frameName, FrameName, const char*, (void* a), (a))
BW_WRAP(atomicFlags, AtomicFlags, std::uint32_t, (void* a), (a))
#undef BW_WRAP

// A source the plug-in lets go of after a fault may be freed and its address
// reused by the next geometry: the session forgets it at once.
Session* g_session = nullptr;

std::int32_t BW_CDECL w_destroyGeometry(void* g) {
    use(sim::HostCall::DestroyGeometry);
    std::int32_t result;
    {
        HostScope h;
        result = o.destroyGeometry(g);
    }
    if (g_session != nullptr && g_host != nullptr && !g_host->isLiveGeometry(g)) g_session->geometryFreed(g);
    return result;
}

std::uint32_t BW_THISCALL w_getDoorStatus(void* d, std::int32_t door) {
    use(sim::HostCall::GetDoorStatus);
    HostScope h;
    return o.getDoorStatus(d, door);
}
void BW_THISCALL w_setDoorStatus(void* d, std::int32_t door, std::uint32_t status) {
    use(sim::HostCall::SetDoorStatus);
    HostScope h;
    o.setDoorStatus(d, door, status);
}
std::uint32_t BW_THISCALL w_getLightStatus(void* d, std::int32_t light) {
    use(sim::HostCall::GetLightStatus);
    HostScope h;
    return o.getLightStatus(d, light);
}

// The ways back into the host: the game's processing, the trampolines and the
// shutdown targets. The last two also check, at the moment the game takes
// over, that every atomic is back on its source.

void BW_CDECL w_process() {
    HostScope h;
    o.process();
}
bool BW_THISCALL w_pair(void* s, void* other, void* cp, float* a, float* b) {
    HostScope h;
    return o.pair(s, other, cp, a, b);
}
bool BW_THISCALL w_single(void* s, void* other, void* cp, float* a, void* m, void* t) {
    HostScope h;
    return o.single(s, other, cp, a, m, t);
}
bool BW_THISCALL w_componentDamage(void* d, std::int32_t c, float a, float b) {
    HostScope h;
    return o.componentDamage(d, c, a, b);
}
std::uint32_t BW_THISCALL w_damageReset(void* d) {
    HostScope h;
    return o.damageReset(d);
}
std::uint32_t BW_CDECL w_gameShutdown() {
    HostScope h;
    return o.gameShutdown();
}
void BW_CDECL w_restart() {
    if (g_session != nullptr) g_session->checkReleased("at the restart");
    HostScope h;
    o.restart();
}

void BW_CDECL w_poolsShutdown() {
    if (g_session != nullptr) g_session->checkReleased("at the pools shutdown");
    HostScope h;
    o.poolsShutdown();
}

void BW_CDECL w_renderWareShutdown() {
    HostScope h;
    o.renderWareShutdown();
}

template <class Fn>
void wrapSlot(Fn& slot, Fn& original, Fn wrapper) {
    if (slot != nullptr && slot != wrapper) {
        original = slot;
        slot = wrapper;
    }
}

void wrapTable() {
    o.atomics = hostSlot(game::atomics, "atomics");
    hostSlot(game::atomics, "atomics") = &wAtomics;
#define BW_SWAP(NAME)                       \
    o.NAME = hostSlot(game::NAME, #NAME); \
    hostSlot(game::NAME, #NAME) = &w_##NAME;
    BW_SWAP(vehicleByRef) BW_SWAP(vehicleRef) BW_SWAP(playerVehicle) BW_SWAP(playerPed)
    BW_SWAP(createGeometry) BW_SWAP(destroyGeometry) BW_SWAP(setGeometry) BW_SWAP(lock)
    BW_SWAP(unlock) BW_SWAP(triangleVertices) BW_SWAP(triangleMaterial) BW_SWAP(geometrySkin)
    BW_SWAP(frameLTM) BW_SWAP(frameName) BW_SWAP(atomicFlags) BW_SWAP(getDoorStatus)
    BW_SWAP(setDoorStatus) BW_SWAP(getLightStatus)
#undef BW_SWAP
}

// Start-up writes the call targets, the first frame the trampolines.
void wrapLate() {
    wrapSlot(orchestration::processTarget, o.process, &w_process);
    wrapSlot(game::pairContactOriginal, o.pair, &w_pair);
    wrapSlot(game::singleContactOriginal, o.single, &w_single);
    wrapSlot(game::componentDamageOriginal, o.componentDamage, &w_componentDamage);
    wrapSlot(game::damageResetOriginal, o.damageReset, &w_damageReset);
    wrapSlot(orchestration::gameShutdownOriginal, o.gameShutdown, &w_gameShutdown);
    wrapSlot(orchestration::shutDownForRestartOriginal, o.restart, &w_restart);
    wrapSlot(orchestration::poolsShutdownTarget, o.poolsShutdown, &w_poolsShutdown);
    wrapSlot(orchestration::renderWareShutdownTarget, o.renderWareShutdown, &w_renderWareShutdown);
}

// The value paired with `key` in a list sorted by key, or null.
template <class Value>
Value* lookUp(const std::vector<std::pair<const void*, Value*>>& sorted, const void* key) {
    const auto it = std::lower_bound(sorted.begin(), sorted.end(),
                                     std::pair<const void*, Value*>{key, nullptr});
    return it != sorted.end() && it->first == key ? it->second : nullptr;
}

// The vertex checks work on the bits where they can: under the emulator every
// floating-point operation is a call. A float is finite unless its exponent
// bits are all ones.
std::uint32_t bits(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}
bool finite(float f) { return (bits(f) & 0x7F800000u) != 0x7F800000u; }
bool finite(const dent::Vec& v) { return finite(v.x) && finite(v.y) && finite(v.z); }
bool sameBits(const dent::Vec& a, const dent::Vec& b) {
    return bits(a.x) == bits(b.x) && bits(a.y) == bits(b.y) && bits(a.z) == bits(b.z);
}

const char* const kLinePrefixes[] = {
    "Bucklewright 0.1.4 experimental - two-sided panels sharing vertices and lighting",
    "Active. Player first; nearby NPCs according to Traffic settings.",
    "Contact hook", "Contact hooks", "Contact queue full", "Could not create vehicle registry",
    "Could not install process hook", "Could not pin module", "Deformation failed during",
    "Disabled in INI.", "Frame update failed during", "Geometry ABI:", "Geometry clone failed",
    "Geometry traversal returned no atomics", "GeometryGuard:", "Hit processing failed during",
    "Hit: actor=", "Hook sites changed", "Lifecycle hooks active:", "Lifecycle: ", "MaterialGuard:",
    "Panel crease unsupported", "PanelBounds:", "PanelMesh:", "PanelFold:", "Part retention active:",
    "Part retention:", "PartRetention: component=", "Player deformation reset.", "RearLight: actor=",
    "Traffic selection could not grow", "Unsupported executable"};

} // namespace

const char* hostCallName(int call) { return call >= 0 && call < kHostCalls ? kCallNames[call] : "?"; }
std::uint32_t pluginUses(int call) { return g_uses[call]; }
void failPluginUse(int call, std::uint32_t nth) { g_failAt[call] = nth; }

void setContext(const std::string& context) { g_context = context; }

void violation(Figures& f, const std::string& text) {
    ++f.violations;
    if (f.violations <= 20) std::printf("VIOLATION [%s]: %s\n", g_context.c_str(), text.c_str());
}

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    return (end != nullptr && *end == '\0') ? v : fallback;
}

Figures runChildImpl(const char* what, void (*body)(void*, Figures&), void* context) {
    std::fflush(stdout);
    int fds[2];
    Figures result;
    if (::pipe(fds) != 0) {
        std::printf("VIOLATION [%s]: no pipe\n", what);
        result.violations = 1;
        return result;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        resetSpend();
        setPhaseSource(&plugin::currentPhase);
        Figures f;
        try {
            body(context, f);
            f.completed = 1;
        } catch (...) {
            ++f.exceptions;
            violation(f, "an exception reached the driver");
        }
        f.pluginAllocations = pluginAllocations();
        f.faultsInjected += g_injected;
        for (int c = 0; c < kHostCalls; ++c) f.uses[c] = g_uses[c];
        std::fflush(stdout);
        const ssize_t n = ::write(fds[1], &f, sizeof f);
        ::_exit(n == static_cast<ssize_t>(sizeof f) ? 0 : 3);
    }
    ::close(fds[1]);
    std::size_t got = 0;
    while (got < sizeof result) {
        const ssize_t n = ::read(fds[0], reinterpret_cast<char*>(&result) + got, sizeof result - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (got != sizeof result || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || result.completed != 1) {
        std::printf("VIOLATION [%s]: the session did not complete (status 0x%x)\n", what, status);
        if (got != sizeof result) result = Figures{};
        ++result.violations;
    }
    return result;
}

// ---- the session ------------------------------------------------------------------------

Session::Session(const std::string& ini, int poolSlots, Figures& figures) : f_(figures) {
    sim::HostOptions options;
    options.poolSlots = poolSlots;
    host_ = std::make_unique<sim::Host>(options);
    if (!host_->ok()) {
        violation(f_, "the host's address range is taken");
        return;
    }
    g_host = host_.get();
    g_session = this;
    if (onDll()) {
        std::string error;
        if (!loadDll(ini, &logPath_, &error)) {
            violation(f_, "the DLL did not load: " + error);
            return;
        }
        baseline_ = host_->accounting().liveGeometries;
        {
            PluginScope p;
            ok_ = attachDll();
        }
        // The DLL's C runtime fills its host table during attach.
        wrapTable();
        return;
    }
    char module[260] = "";
    char settingsFile[260] = "";
    char logFile[260] = "";
    platform::ownModulePath(module, sizeof module);
    orchestration::siblingPath(module, ".ini", settingsFile, sizeof settingsFile);
    orchestration::siblingPath(module, ".log", logFile, sizeof logFile);
    logPath_ = logFile;
    std::remove(logFile);
    {
        std::ofstream out(settingsFile, std::ios::binary | std::ios::trunc);
        out << ini;
    }
    wrapTable();
    baseline_ = host_->accounting().liveGeometries;
    {
        PluginScope p;
        orchestration::moduleEntry(nullptr, 1, orchestration::startupBindings());
    }
    wrapLate();
    ok_ = game::registry() != nullptr;
    // Without memory for its registry the plug-in runs stock; that is the
    // answer to the first allocation failing, not a fault.
    if (!ok_ && !pluginAllocationFailed()) violation(f_, "the plug-in did not start");
}

Session::~Session() {
    if (onDll()) removeDllFolder();
    g_session = nullptr;
    g_host = nullptr;
}

void* Session::addCar(dent::Vec at, int model, int detail, const carimport::Car* body) {
    sim::VehicleDesc desc;
    desc.model = model;
    desc.placement = sim::Matrix::yaw(static_cast<float>((model * 37) % 360), at);
    desc.car.detail = detail;
    desc.car.texCoordSets = 1 + (model & 1);
    desc.car.model = body;
    void* v;
    {
        SpendScope host(Spend::Host);
        v = host_->addVehicle(desc);
    }
    if (v == nullptr) return nullptr;
    SpendScope checks(Spend::Checks);
    Car car;
    for (void* a : host_->atomicsOf(game::renderObject(v))) {
        void* g = game::atomicGeometry(a);
        car.atomics.push_back({a, g});
        if (g != nullptr && host_->isLiveGeometry(g)) sources_.remember(g);
    }
    cars_[v] = std::move(car);
    order_.push_back(v);
    return v;
}

void Session::removeCar(void* vehicle) {
    auto it = cars_.find(vehicle);
    if (it == cars_.end()) return;
    for (const Atomic& a : it->second.atomics) sources_.forget(a.source);
    cars_.erase(it);
    for (std::size_t i = 0; i < order_.size(); ++i)
        if (order_[i] == vehicle) {
            order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    SpendScope host(Spend::Host);
    host_->removeVehicle(vehicle);
}

void Session::geometryFreed(void* geometry) {
    if (!sources_.forget(geometry)) return;
    for (auto& [vehicle, car] : cars_)
        for (Atomic& at : car.atomics)
            if (at.source == geometry) at.source = nullptr;
}

void Session::forgetCars() {
    cars_.clear();
    order_.clear();
    sources_.clear();
}

void Session::frame(std::uint32_t ms) {
    ++frameNumber_;
    {
        PluginScope p;
        host_->step(ms);
    }
    wrapLate();
    ++f_.frames;
    checkInvariants();
    touched_.clear();
}

void Session::queuePair(void* self, void* other, sim::ColPoint p, float a, float b) {
    ++f_.collisions;
    touched_.insert(self);
    touched_.insert(other);
    sim::Host* h = host_.get();
    h->duringNextProcess([=] {
        PluginScope s;
        h->collidePair(self, other, p, a, b);
    });
}

void Session::queueSingle(void* self, void* other, sim::ColPoint p, float impulse) {
    ++f_.collisions;
    touched_.insert(self);
    touched_.insert(other);
    sim::Host* h = host_.get();
    h->duringNextProcess([=] {
        PluginScope s;
        h->collideSingle(self, other, p, impulse);
    });
}

void Session::queueComponentDamage(void* vehicle, int component, float amount) {
    sim::Host* h = host_.get();
    h->duringNextProcess([=] {
        PluginScope s;
        h->damageComponent(vehicle, component, amount);
    });
}

void Session::restart() {
    {
        PluginScope p;
        host_->shutDownForRestart();
    }
    forgetCars();
    checkInvariants();
}

void Session::checkInvariants() {
    SpendScope checks(Spend::Checks);
    const plugin::Settings& s = plugin::settings();
    const sim::Accounting a = host_->accounting();
    if (a.badReleases || a.unsafeReleases || a.invalidCalls)
        violation(f_, "host accounting: bad releases " + std::to_string(a.badReleases) +
                          ", unsafe " + std::to_string(a.unsafeReleases) + ", invalid calls " +
                          std::to_string(a.invalidCalls));
    // The vertex-level checks are the costly ones: they cover the vehicles
    // struck in this frame, every vehicle in turn once in 16 frames, and all
    // of them at the restart and the shutdown. The atomics of the session's
    // cars are checked every frame below; the host-wide walk covers any other.
    const bool all = deepAll_;
    const auto inTurn = [&](std::size_t index) { return (index + frameNumber_) % 16 == 0; };
    if ((all || frameNumber_ % 32 == 0) && !host_->atomicsOnLiveGeometries())
        violation(f_, "an atomic draws a freed geometry");

    game::Registry* r = game::registry();
    if (r == nullptr) return;
    if (r->records.size() > s.maxTrackedVehicles)
        violation(f_, "registry holds " + std::to_string(r->records.size()) + " records");

    // Every copy belongs to exactly one mesh reference of one record.
    owners_.clear();
    records_.clear();
    std::uint64_t total = 0;
    const float limit = s.maxTotalDisplacement * 1.0001f + 1e-4f;
    // Only a vertex this far out needs its exact distance.
    const float nearLimitSquared = limit * limit * 0.99f;
    std::size_t index = 0;
    for (const auto& rec : r->records) {
        records_.push_back({rec->vehicle, rec.get()});
        const bool deep = inTurn(index++) || all || touched_.count(rec->vehicle) != 0;
        std::uint64_t vertices = 0;
        for (const auto& ref : rec->meshReferences) {
            void* copy = ref->copyGeometry;
            if (copy == nullptr) continue;
            owners_.push_back({copy, rec.get()});
            if (!host_->isLiveGeometry(copy)) {
                violation(f_, "a mesh reference holds a freed copy");
                continue;
            }
            if (copy == ref->sourceGeometry) violation(f_, "a source geometry is held as a copy");
            if (ref->sourceGeometry != nullptr && !host_->isLiveGeometry(ref->sourceGeometry))
                violation(f_, "a mesh reference holds a freed source");
            const std::int32_t n = game::vertexCount(copy);
            vertices += static_cast<std::uint32_t>(n);
            if (!deep) continue;
            if (ref->rest.size() != static_cast<std::size_t>(n)) {
                violation(f_, "rest positions do not match the copy");
                continue;
            }
            void* morph = game::morphTarget(copy, game::morphOffset);
            const auto* p = morph ? static_cast<const dent::Vec*>(game::morphPositions(morph)) : nullptr;
            const auto* nn = morph ? static_cast<const dent::Vec*>(game::morphNormals(morph)) : nullptr;
            if (p == nullptr) {
                violation(f_, "a copy without positions");
                continue;
            }
            for (std::int32_t i = 0; i < n; ++i) {
                if (!finite(p[i]) || (nn != nullptr && !finite(nn[i]))) {
                    violation(f_, "a non-finite position or normal");
                    break;
                }
                // A folding panel moves along its lattice, not from its rest.
                if (ref->panel.kind != 0) continue;
                // Most vertices of a copy are where they rest.
                if (sameBits(p[i], ref->rest[static_cast<std::size_t>(i)])) continue;
                const dent::Vec moved = p[i] - ref->rest[static_cast<std::size_t>(i)];
                if (dent::dot(moved, moved) > nearLimitSquared && dent::length(moved) > limit) {
                    violation(f_, "a vertex moved " +
                                      std::to_string(dent::length(p[i] - ref->rest[static_cast<std::size_t>(i)])) +
                                      " from its rest");
                    break;
                }
            }
        }
        if (vertices != rec->copiedVertexTotal)
            violation(f_, "copied vertex total " + std::to_string(rec->copiedVertexTotal) + " but copies hold " +
                              std::to_string(vertices));
        if (vertices > mesh::kMaxVehicleVertices) violation(f_, "a vehicle over its vertex limit");
        total += vertices;
    }
    if (total > s.maxTotalVertices)
        violation(f_, "copied vertices " + std::to_string(total) + " over the budget");
    std::sort(owners_.begin(), owners_.end());
    for (std::size_t i = 1; i < owners_.size(); ++i)
        if (owners_[i].first == owners_[i - 1].first) violation(f_, "a copy is owned twice");
    std::sort(records_.begin(), records_.end());

    // A source can only die by being freed: while the host frees nothing,
    // every source alive at the last check still is.
    const bool anyFreed = a.geometriesFreed != freedAtLastCheck_;
    freedAtLastCheck_ = a.geometriesFreed;
    // Every atomic draws its source or a copy of its own vehicle's record;
    // the sources read by this frame's work are unchanged.
    std::size_t carIndex = 0;
    for (auto& [vehicle, car] : cars_) {
        const game::TrackedVehicle* rec = lookUp(records_, vehicle);
        const bool deep = inTurn(carIndex++) || all || touched_.count(vehicle) != 0;
        for (Atomic& at : car.atomics) {
            // A source the plug-in had to let go after a fault (its atomic
            // kept a copy) is gone for good; its address may come back.
            if (anyFreed && at.source != nullptr && !host_->isLiveGeometry(at.source)) {
                sources_.forget(at.source);
                at.source = nullptr;
            }
            void* g = game::atomicGeometry(at.atomic);
            if (g != at.source && g != nullptr && !host_->isLiveGeometry(g))
                violation(f_, "an atomic draws a freed geometry");
            if (g != at.source) {
                const game::TrackedVehicle* owner = lookUp(owners_, g);
                // After an injected fault the plug-in may let go of a copy it
                // could not take off (the walk or the identity test failed):
                // the atomic keeps it alive, and the host frees it with the
                // atomic (the leak check at the end holds that to account).
                if (owner == nullptr) {
                    if (g_injected == 0 && !pluginAllocationFailed())
                        violation(f_, "an atomic draws a geometry no record owns");
                } else if (owner != rec)
                    violation(f_, "an atomic draws another vehicle's copy");
            }
            if (deep && at.source != nullptr && !sources_.unchanged(at.source))
                violation(f_, "a source geometry changed");
        }
    }
}

void Session::checkReleased(const char* when) {
    deepAll_ = true;
    checkInvariants();
    deepAll_ = false;
    checkAllOnSources(when);
}

void Session::checkAllOnSources(const char* when) {
    for (const auto& [vehicle, car] : cars_)
        for (const Atomic& at : car.atomics)
            if (at.source != nullptr && game::atomicGeometry(at.atomic) != at.source) {
                violation(f_, std::string("an atomic is not on its source ") + when);
                return;
            }
}

void Session::finish() {
    {
        PluginScope p;
        // CGame::Shutdown destroys every vehicle inside its pools shutdown;
        // the wrapped target checks the atomics just before.
        host_->endSession();
    }
    if (game::registry() != nullptr && !game::registry()->records.empty())
        violation(f_, "records left after the shutdown");
    forgetCars();
    const sim::Accounting a = host_->accounting();
    if (a.liveGeometries != baseline_ + g_failedDestroys) {
        ++f_.leaks;
        violation(f_, "live geometries " + std::to_string(a.liveGeometries) + ", expected " +
                          std::to_string(baseline_ + g_failedDestroys));
    }
    checkInvariants();
    checkLog();
}

void Session::checkLog() {
    std::ifstream in(logPath_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::size_t from = 0, lines = 0;
    for (std::size_t at; (at = all.find("\r\n", from)) != std::string::npos; from = at + 2, ++lines) {
        const std::string line = all.substr(from, at - from);
        bool printable = !line.empty() && line.size() < 400;
        for (unsigned char c : line) printable = printable && c >= 0x20 && c < 0x7F;
        bool known = false;
        for (const char* prefix : kLinePrefixes) known = known || line.rfind(prefix, 0) == 0;
        if (!printable || !known) violation(f_, "log line not the plug-in's: '" + line + "'");
    }
    if (from != all.size()) violation(f_, "the log ends without CR LF");
    if (lines == 0) violation(f_, "the log is empty");
}

} // namespace soak
