#pragma once

// The vehicles that carry private mesh copies, so that the copies can always
// be taken off and freed: when a vehicle disappears or is repaired, on F7,
// when room is needed for another vehicle, and before the game shuts down.
// Game thread only.

#include "dent/episode.h"
#include "game/host_functions.h"
#include "game/mesh_reference.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace game {

struct TrackedVehicle {
    void* vehicle = nullptr;        // host vehicle
    std::int32_t handle = 0;        // its handle at creation
    void* renderObject = nullptr;   // its render object at creation
    float lastHealth = 0.0f;        // health at creation, then at every frame walk
    float healthDrop = 0.0f;        // last health minus health, from the latest walk
    std::uint32_t lastHitTime = 0;  // host clock at creation and at every hit
    dent::Episode episode{};        // the dent being made; empty after a reset
    std::vector<std::unique_ptr<MeshReference>> meshReferences; // attach order
    std::uint32_t copiedVertexTotal = 0; // vertices of its copies and hidden variants held
    std::uint32_t seed = 0;              // per-vehicle variation
    std::vector<CarriedAtomic> carried;  // first touches waiting for a frame's budget
    std::vector<HiddenVariant> hidden;   // part variants waiting to be shown
    std::vector<std::uint8_t> damageSeen; // the damage record when they were last looked at

    TrackedVehicle() = default;
    TrackedVehicle(const TrackedVehicle&) = delete;
    TrackedVehicle& operator=(const TrackedVehicle&) = delete;
    // Releases the mesh references from the last to the first, without
    // touching any atomic.
    ~TrackedVehicle();
};

struct Registry {
    std::vector<std::unique_ptr<TrackedVehicle>> records; // creation order
    std::uint8_t f7Latch = 0;
};

// The process's registry; null until createRegistry (start-up) has run.
Registry* registry();
// Creates the empty registry once; later calls keep the existing one. False
// when it could not be allocated.
bool createRegistry();

// The record of `vehicle`, or null (linear search by vehicle pointer).
TrackedVehicle* findRecord(Registry& r, const void* vehicle);

// True when a new record may be added: below MaxTrackedVehicles, or after
// evicting the record idle longest (at least 1000 ms, never `keepVehicle`).
bool makeRoom(Registry& r, const void* keepVehicle, std::uint32_t now);

// Appends a record for `vehicle` (call makeRoom first). Null when memory
// ran out; nothing is appended then.
TrackedVehicle* createRecord(Registry& r, void* vehicle, std::uint32_t now);

// True when the record still describes a live vehicle: the pool exists, the
// handle still maps to the vehicle and its render object is unchanged.
bool identityTest(const TrackedVehicle& record);

// Puts the source geometries back on the vehicle's atomics (only when the
// identity test passes; one the system could not answer is asked once
// more), releases every mesh reference, drops the waiting work, clears the
// copied vertex total and the episode. The record stays in the registry.
void resetRecord(TrackedVehicle& record);

// Removes the record at `index` (the others keep their order) and destroys it
// without touching any atomic.
void eraseRecord(Registry& r, std::size_t index);

// Destroys every record, from the last to the first, then drops the
// references a failed guard kept whose guard now passes.
void deleteAllRecords(Registry& r);

// Once per frame: drops the kept references whose guard now passes, erases
// records whose vehicle has gone (an identity test the system could not
// answer is asked once more), refreshes health drops and resets the records
// of repaired vehicles.
void frameWalk(Registry& r);

// game::atomics callback: puts the source geometry back on an atomic that
// draws one of the record's copies. Returns the atomic so the walk goes on.
void* BW_CDECL restoreAtomic(void* atomic, void* record);

// Drops one reference of a host geometry, unless the record or its material
// table looks unsafe to hand to the engine's destructor (then logged and
// kept, to be dropped by a later frame walk or the shutdown's delete all
// once the same guard passes). Null does nothing.
void guardedGeometryRelease(void* geometry);
// How many kept references wait for their guard to pass.
std::size_t retainedGeometries();

// True when the geometry's material table is plausible: sane counts, a
// readable table and aligned, plausible material pointers.
bool materialTableSafe(const void* geometry);

} // namespace game
