#pragma once

// Internal state of the substitute host: the C++ side of every record it has
// handed out. The raw records at the host's offsets are what the plug-in sees;
// these side records hold the truth (allocations and reference counts), so
// that records corrupted on purpose can still be freed and accounted.

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "game/host_functions.h"
#include "sim/host.h"

namespace sim::detail {

struct GeometryRec {
    unsigned char* raw = nullptr;
    std::int32_t vertices = 0;
    std::int32_t triangles = 0;
    int texSets = 0;
    std::vector<void*> materials; // one counted reference each
    unsigned char* triangleArray = nullptr;
    unsigned char* prelit = nullptr;
    unsigned char* texCoords[game::GeometryMaxTexCoordSets] = {};
    unsigned char* morph = nullptr;
    unsigned char* positions = nullptr;
    unsigned char* normals = nullptr;
    unsigned char* materialTable = nullptr;
    std::int32_t materialCapacity = 0;
    unsigned char* skin = nullptr; // non-null for a skinned geometry
    std::uint32_t unlocks = 0;
};

struct MaterialRec {
    unsigned char* raw = nullptr;
    std::int32_t refs = 0;
    unsigned char* texture = nullptr; // owned; freed with the material
};

struct FrameRec {
    unsigned char* raw = nullptr;
    FrameRec* parent = nullptr;
    const void* root = nullptr; // the top of its tree (itself when it has no parent)
};

struct AtomicRec {
    unsigned char* raw = nullptr;
};

struct ClumpRec {
    unsigned char* raw = nullptr;
    std::vector<unsigned char*> atomics; // in walk order
    std::vector<unsigned char*> frames;  // owned, in creation order
};

struct State {
    HostOptions options;
    // Raw record -> side record.
    std::unordered_map<const void*, std::unique_ptr<GeometryRec>> geometries;
    // The geometry asked about last: a copy is built by one call per
    // triangle on the same geometry, where the game's calls cost a few
    // dozen instructions. Forgotten when any geometry is freed.
    const void* lastGeometryRaw = nullptr;
    GeometryRec* lastGeometry = nullptr;
    std::unordered_map<const void*, std::unique_ptr<MaterialRec>> materials;
    std::unordered_map<const void*, std::unique_ptr<FrameRec>> frames;
    // Every frame under each root frame, so that a render object's tree
    // goes without a walk over all frames.
    std::unordered_map<const void*, std::vector<unsigned char*>> framesUnder;
    std::unordered_map<const void*, std::unique_ptr<AtomicRec>> atomics;
    std::unordered_map<const void*, std::unique_ptr<ClumpRec>> clumps;
    std::unordered_set<const void*> vehicles;

    Accounting accounting;

    // Vehicle pool.
    unsigned char* pool = nullptr;
    unsigned char* poolStorage = nullptr; // poolSize records of VehicleRecordSize bytes
    std::uint8_t* poolFlags = nullptr;
    std::int32_t poolSize = 0;

    unsigned char* engine = nullptr;
    std::uint32_t* modelInfoTable = nullptr;
    std::vector<unsigned char*> modelInfos;

    void* playerVehicle = nullptr;
    unsigned char* playerPed = nullptr;

    // Fault injection: the use on which a call fails (0: never), and uses so far.
    std::uint32_t failOn[static_cast<int>(HostCall::Count)] = {};
    std::uint32_t uses[static_cast<int>(HostCall::Count)] = {};

    // What the next collision response reports.
    float pairImpulseSelf = 0, pairImpulseOther = 0, singleImpulse = 0;
    bool contactResult = true;

    // System time as the host last set it: on Windows the platform's own
    // answer is the real clock, not the one the plug-in is shown.
    std::uint32_t systemTime = 0;

    std::vector<std::function<void()>> duringProcess;
    std::uint32_t gameShutdownResult = 1;
    LifecycleCounts lifecycle;
};

// Inline: every host call asks for it, and the game's own calls cost little.
inline State& state() {
    static State s;
    return s;
}
bool active();

// Counts one use of a host call; true when this use must fail.
bool failThisUse(HostCall call);

// Engine model (engine.cpp).
unsigned char* newGeometry(std::int32_t vertices, std::int32_t triangles, std::uint32_t format);
void dropGeometry(GeometryRec& g); // one reference; frees at zero
GeometryRec* findGeometry(const void* raw);
void placeMorphPointer(GeometryRec& g);
unsigned char* newMaterial();
void releaseMaterial(void* material);
void nameMaterialTexture(void* material, const std::string& name);
bool appendMaterial(GeometryRec& g, void* material, std::int16_t* index);
bool materialTableSafe(const GeometryRec& g);
void freeEverything();

// Scene model (scene.cpp).
unsigned char* newFrame(const char* name, unsigned char* parent, const float modelling[16]);
unsigned char* newAtomic(unsigned char* frame, unsigned char* geometry, std::uint32_t flags);
unsigned char* newClump(unsigned char* rootFrame);
void destroyClump(unsigned char* clump);
void computeLTM(const FrameRec& f, float out[16]);

// Vehicles (vehicles.cpp).
void destroyAllVehicles();
void destroyVehicle(void* vehicle);

// Host implementations behind the stubs, with the host's conventions.
void* BW_CDECL atomicsImpl(void* renderObject, game::AtomicCallback callback, void* data);
void* BW_CDECL vehicleByRefImpl(std::int32_t handle);
std::int32_t BW_CDECL vehicleRefImpl(void* vehicle);
void* BW_CDECL playerVehicleImpl();
void* BW_CDECL playerPedImpl();
void* BW_CDECL createGeometryImpl(std::int32_t vertices, std::int32_t triangles, std::uint32_t format);
std::int32_t BW_CDECL destroyGeometryImpl(void* geometry);
void* BW_CDECL setGeometryImpl(void* atomic, void* geometry, std::uint32_t flags);
void* BW_CDECL lockImpl(void* geometry, std::int32_t mode);
void* BW_CDECL unlockImpl(void* geometry);
void* BW_CDECL triangleVerticesImpl(void* geometry, game::Triangle* triangle, std::uint16_t v0,
                                    std::uint16_t v1, std::uint16_t v2);
void* BW_CDECL triangleMaterialImpl(void* geometry, game::Triangle* triangle, void* material);
void* BW_CDECL geometrySkinImpl(void* geometry);
void* BW_CDECL frameLTMImpl(void* frame);
const char* BW_CDECL frameNameImpl(void* frame);
std::uint32_t BW_CDECL atomicFlagsImpl(void* atomic);
std::uint32_t BW_THISCALL getDoorStatusImpl(void* damage, std::int32_t door);
void BW_THISCALL setDoorStatusImpl(void* damage, std::int32_t door, std::uint32_t status);
std::uint32_t BW_THISCALL getLightStatusImpl(void* damage, std::int32_t light);

bool BW_THISCALL pairContactImpl(void* self, void* other, void* colPoint, float* impulseSelf,
                                 float* impulseOther);
bool BW_THISCALL singleContactImpl(void* self, void* other, void* colPoint, float* impulse,
                                   void* moveSpeed, void* turnSpeed);
bool BW_THISCALL componentDamageImpl(void* damage, std::int32_t component, float a, float b);
std::uint32_t BW_THISCALL damageResetImpl(void* damage);

void BW_CDECL processImpl();
void BW_CDECL poolsShutdownImpl();
void BW_CDECL rwShutdownImpl();
std::uint32_t BW_CDECL gameShutdownImpl();
void BW_CDECL shutDownForRestartImpl();

} // namespace sim::detail
