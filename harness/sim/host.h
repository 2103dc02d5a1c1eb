#pragma once

// The substitute host: a model of the game at its real addresses inside a
// 32-bit Linux process, so that the plug-in runs unchanged against it. It maps
// the executable's address range, writes real code there (the signature, the
// three call sites, a relocatable prologue at every host function and hook
// target) and keeps the records the plug-in reads at the host's offsets. Every
// geometry, material and reference is accounted, so a session can be checked
// for leaks, double releases and atomics left on freed geometries.
//
// One Host exists at a time (the addresses are fixed). Everything runs on the
// calling thread.

#include <cstdint>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "dent/vec.h"
#include "game/host_layout.h"

namespace carfile {
struct Car;
}

namespace sim {

// Where the morph-target pointer sits in geometry records this host creates.
enum class MorphLayout {
    At68,    // the 1.0 executable's engine: surface properties at 0x5C, then the pointer
    At5C,    // another engine build: the pointer at 0x5C, no surface properties
    Neither, // a layout the probe must refuse
    Both,    // a record on which both candidates validate
};

// Where geometries of `layout` keep the morph-target pointer: 0 when at
// neither candidate, for Both the 1.0 executable's place.
constexpr std::uint32_t morphOffsetOf(MorphLayout layout) {
    return layout == MorphLayout::At5C     ? game::MorphOffsetAt5C
           : layout == MorphLayout::Neither ? 0
                                            : game::MorphOffsetAt68;
}

// Surface properties in the At68 layout: a geometry this host creates starts
// with the creation defaults; its cars carry their own values, as the game's
// vehicles bring theirs from their model files, so a copy that dropped them
// would be lit differently from its source.
constexpr game::SurfaceProperties CreatedSurface = {1.0f, 1.0f, 1.0f};
constexpr game::SurfaceProperties VehicleSurface = {0.75f, 0.25f, 0.6f};

// Fields that this host keeps where it chose to (the game keeps them
// elsewhere, behind the engine's plug-in extensions); the plug-in reads them
// only through game::frameName and game::atomicFlags, tools may read them here.
constexpr std::uint32_t FrameNameField = 0xA8;
constexpr std::uint32_t FrameNameSize = 24;
constexpr std::uint32_t AtomicFlagsField = 0x70;

// Host calls that can be made to fail.
enum class HostCall {
    Atomics, VehicleByRef, VehicleRef, PlayerVehicle, PlayerPed, CreateGeometry,
    DestroyGeometry, SetGeometry, Lock, Unlock, TriangleVertices, TriangleMaterial,
    GeometrySkin, FrameLTM, FrameName, AtomicFlags, GetDoorStatus, SetDoorStatus,
    GetLightStatus, Count
};

struct HostOptions {
    MorphLayout morphLayout = MorphLayout::At68;
    std::int32_t poolSlots = 110;
};

struct Accounting {
    std::uint32_t geometriesCreated = 0;
    std::uint32_t geometriesFreed = 0;
    std::uint32_t liveGeometries = 0;
    std::uint32_t liveMaterials = 0;
    // A release or reference of a geometry that is not live (double free,
    // use after free, a wild pointer).
    std::uint32_t badReleases = 0;
    // A geometry destroyed while its material table was corrupt: the real
    // engine would have freed through the bad table.
    std::uint32_t unsafeReleases = 0;
    // Any host call given a record this host never handed out (or already
    // freed), or arguments out of range.
    std::uint32_t invalidCalls = 0;
};

struct LifecycleCounts {
    std::uint32_t process = 0;
    std::uint32_t poolsShutdown = 0;
    std::uint32_t rwShutdown = 0;
    std::uint32_t gameShutdown = 0;
    std::uint32_t restart = 0;
    std::uint32_t pairContact = 0;
    std::uint32_t singleContact = 0;
    std::uint32_t componentDamage = 0;
    std::uint32_t damageReset = 0;
};

// The collision point record as the collision responses receive it (40 bytes).
struct ColPoint {
    dent::Vec point;
    float pad0;
    dent::Vec normal;
    float pad1;
    std::uint8_t surfaceA, pieceA, surfaceB, pieceB;
    float depth;
};

// A host matrix: rows right, forward (up in the engine's naming), up (at),
// position; the fourth word of each row is unused.
struct Matrix {
    float m[16];
    static Matrix identity(dent::Vec position = {0, 0, 0});
    // Turned by `degrees` about the up axis.
    static Matrix yaw(float degrees, dent::Vec position = {0, 0, 0});
};

struct CarOptions {
    int texCoordSets = 1;  // 1 or 2
    bool damagedVariants = true;
    int detail = 1;        // grid density multiplier (1: a few thousand vertices)
    void* paint = nullptr; // materials to use; created when null
    // A car read from a car file (carfile/car_file.h) instead of the
    // procedural one; the other options do not apply to it.
    const carfile::Car* model = nullptr;
};

struct VehicleDesc {
    int model = 90;
    Matrix placement = Matrix::identity();
    float mass = 1500.0f;
    float health = 1000.0f;
    std::int32_t kind = 0;
    bool buildCar = true; // false: no render object
    CarOptions car;
};

class Host {
public:
    explicit Host(HostOptions options = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // False when the address range could not be mapped (something else is
    // there); nothing else works then.
    bool ok() const { return ok_; }
    // Where this host's geometries keep the morph-target pointer.
    std::uint32_t morphOffset() const;

    // ---- the frame and the session ------------------------------------------
    // Advances the host clock and the system tick count and runs one frame
    // through the call at 0x48E49B.
    void step(std::uint32_t ms = 33);
    // Runs `action` inside the next frame's game processing (in queue order).
    void duringNextProcess(std::function<void()> action);
    // CGame::Shutdown through its address (it reaches the pools shutdown call),
    // then the RenderWare shutdown through its call site.
    std::uint32_t endSession();
    std::uint32_t gameShutdown();
    void renderWareShutdown();
    void shutDownForRestart();
    void setGameShutdownResult(std::uint32_t value);
    LifecycleCounts lifecycle() const;

    // ---- globals -------------------------------------------------------------
    void setClock(std::uint32_t ms);
    std::uint32_t clock() const;
    // System time (the tick count) and keys, as the platform layer reports them.
    void setTickCount(std::uint32_t ms);
    void setKey(int virtualKey, bool down);
    void setHoldFlags(std::uint8_t a, std::uint8_t b);
    void setEngineInstance(bool present);
    void setPoolPointer(bool present);
    void setModelInfoTable(bool present);
    void setRearLight(int model, dent::Vec position);
    // Writes bytes into the host's code (e.g. another mod's jump).
    void patchCode(game::Address at, const std::uint8_t* bytes, std::size_t count);

    // ---- vehicles and the player -------------------------------------------
    void* addVehicle(const VehicleDesc& desc = {});
    void removeVehicle(void* vehicle); // frees its slot and its render object
    void setPlacement(void* vehicle, const Matrix& m);
    std::int32_t handleOf(void* vehicle) const;
    std::int32_t slotOf(void* vehicle) const;
    void setPlayerVehicle(void* vehicle);
    void* setPlayerOnFoot(dent::Vec position); // returns the ped
    void clearPlayer();
    void linkEntity(void* vehicle, void* linked); // the reference at 0x110

    // ---- collisions and damage ------------------------------------------------
    // Both call the host's collision response through its address (so hooks
    // see it); the response reports `result` and fills in the impulses.
    bool collidePair(void* self, void* other, const ColPoint& point, float impulseSelf,
                     float impulseOther, bool result = true);
    bool collideSingle(void* self, void* other, const ColPoint& point, float impulse,
                       bool result = true);
    bool damageComponent(void* vehicle, std::int32_t component, float amount = 1.0f);
    std::uint32_t resetDamage(void* vehicle);

    // ---- scene building -----------------------------------------------------------
    // Records created here are the host's own (the caller holds what it is
    // given, like the game's loaders): a geometry starts with one reference.
    void* createGeometry(std::int32_t vertices, std::int32_t triangles, std::uint32_t format);
    void releaseGeometry(void* geometry);
    void* createMaterial();
    void releaseMaterial(void* material); // drops the creator's reference
    // Gives `material` a texture record of that name (at most 31 bytes kept).
    void setMaterialTexture(void* material, const std::string& name);
    void* createFrame(const char* name, void* parent, const Matrix& modelling = Matrix::identity());
    // The atomic takes its own reference on `geometry`.
    void* createAtomic(void* frame, void* geometry, std::uint32_t visibilityFlags = 0);
    void* createRenderObject(void* rootFrame);
    void addAtomic(void* renderObject, void* atomic);
    std::vector<void*> atomicsOf(void* renderObject) const;
    // A procedural car, or `options.model`, under `renderObject`'s root frame.
    void buildCar(void* renderObject, const CarOptions& options);
    // Writes a geometry's surface properties; nothing in a layout without them.
    void setSurface(void* geometry, const game::SurfaceProperties& surface);

    // ---- faults ---------------------------------------------------------------------
    // The `nth` use of `call` from now (1 = the next) fails: null, 0 or no effect.
    void failOnUse(HostCall call, std::uint32_t nth);
    void clearFaults();
    std::uint32_t uses(HostCall call) const;
    void makeSkinned(void* geometry);
    // Corruptions for the guard tests; the host keeps the true allocations, so
    // corrupted records are still freed correctly.
    void setMaterialEntry(void* geometry, std::int32_t index, std::uint32_t value);
    void setMaterialTable(void* geometry, std::uint32_t table, std::int32_t count,
                          std::int32_t capacity);
    void setMorphOwner(void* geometry, void* owner);

    // ---- accounting -------------------------------------------------------------
    Accounting accounting() const;
    bool isLiveGeometry(const void* geometry) const;
    std::int32_t references(const void* geometry) const; // -1 when not live
    std::int32_t materialReferences(const void* material) const;
    std::uint32_t unlocks(const void* geometry) const;
    // Every atomic of every live render object draws a live geometry (or none).
    bool atomicsOnLiveGeometries() const;

private:
    void buildModel(void* renderObject, const carfile::Car& car);
    bool ok_ = false;
};

// Reads a car file and builds it under `renderObject`'s root frame; false
// with `error` set when the file cannot be read or is malformed (nothing is
// built then).
bool loadCar(Host& host, void* renderObject, const std::string& path, std::string& error);

} // namespace sim
