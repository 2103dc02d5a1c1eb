#include "harness_internal.h"

#include "dll_plugin.h"

#include "game/contact_capture.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/part_retention.h"
#include "orchestration/frame_hook.h"
#include "orchestration/lifecycle.h"

#include <string>

namespace soak {

// ---- host-call wrappers ---------------------------------------------------------------------

sim::Host* g_host = nullptr;
std::uint32_t g_uses[kHostCalls] = {};
std::uint64_t g_injected = 0;
// The engine's destroy never fails; when the sweep makes it fail, the
// geometry it should have freed stays alive, and nothing may retry it.
std::uint64_t g_failedDestroys = 0;
// A source the plug-in lets go of after a fault may be freed and its address
// reused by the next geometry: the session forgets it at once.
Session* g_session = nullptr;

namespace {

std::uint32_t g_failAt[kHostCalls] = {};

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

#define BW_WRAP(NAME, CALL, RET, PARAMS, ARGS)                                                     \
    RET BW_CDECL w_##NAME PARAMS {                                                                 \
        use(sim::HostCall::CALL);                                                                  \
        HostScope h;                                                                               \
        return o.NAME ARGS;                                                                        \
    }
BW_WRAP(vehicleByRef, VehicleByRef, void*, (std::int32_t a), (a))
BW_WRAP(vehicleRef, VehicleRef, std::int32_t, (void* a), (a))
BW_WRAP(playerVehicle, PlayerVehicle, void*, (), ())
BW_WRAP(playerPed, PlayerPed, void*, (), ())
BW_WRAP(createGeometry, CreateGeometry, void*, (std::int32_t a, std::int32_t b, std::uint32_t c),
        (a, b, c))
BW_WRAP(setGeometry, SetGeometry, void*, (void* a, void* b, std::uint32_t c), (a, b, c))
BW_WRAP(lock, Lock, void*, (void* a, std::int32_t b), (a, b))
BW_WRAP(unlock, Unlock, void*, (void* a), (a))
BW_WRAP(triangleVertices, TriangleVertices, void*,
        (void* g, game::Triangle* t, std::uint16_t a, std::uint16_t b, std::uint16_t c),
        (g, t, a, b, c))
BW_WRAP(triangleMaterial, TriangleMaterial, void*, (void* g, game::Triangle* t, void* m), (g, t, m))
BW_WRAP(geometrySkin, GeometrySkin, void*, (void* a), (a))
BW_WRAP(frameLTM, FrameLTM, void*, (void* a), (a))
BW_WRAP(frameName, FrameName, const char*, (void* a), (a))
BW_WRAP(atomicFlags, AtomicFlags, std::uint32_t, (void* a), (a))
#undef BW_WRAP

std::int32_t BW_CDECL w_destroyGeometry(void* g) {
    use(sim::HostCall::DestroyGeometry);
    std::int32_t result;
    {
        HostScope h;
        result = o.destroyGeometry(g);
    }
    if (g_session != nullptr && g_host != nullptr && !g_host->isLiveGeometry(g))
        g_session->geometryFreed(g);
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

template <class Fn> void wrapSlot(Fn& slot, Fn& original, Fn wrapper) {
    if (slot != nullptr && slot != wrapper) {
        original = slot;
        slot = wrapper;
    }
}

} // namespace

void wrapTable() {
    o.atomics = hostSlot(game::atomics, "atomics");
    hostSlot(game::atomics, "atomics") = &wAtomics;
#define BW_SWAP(NAME)                                                                              \
    o.NAME = hostSlot(game::NAME, #NAME);                                                          \
    hostSlot(game::NAME, #NAME) = &w_##NAME;
    BW_SWAP(vehicleByRef)
    BW_SWAP(vehicleRef) BW_SWAP(playerVehicle) BW_SWAP(playerPed) BW_SWAP(createGeometry)
        BW_SWAP(destroyGeometry) BW_SWAP(setGeometry) BW_SWAP(lock) BW_SWAP(unlock)
            BW_SWAP(triangleVertices) BW_SWAP(triangleMaterial) BW_SWAP(geometrySkin)
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

const char* hostCallName(int call) {
    return call >= 0 && call < kHostCalls ? kCallNames[call] : "?";
}
std::uint32_t pluginUses(int call) {
    return g_uses[call];
}
void failPluginUse(int call, std::uint32_t nth) {
    g_failAt[call] = nth;
}

} // namespace soak
