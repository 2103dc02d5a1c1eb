#include "game/registry.h"

#include "game/host_layout.h"
#include "game/readable_range.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <cmath>
#include <new>

namespace game {

namespace {

Registry* theRegistry = nullptr;

constexpr std::uint32_t kMinIdleForEvictionMs = 1000;
// A health rise larger than this in one frame is the game repairing the car.
constexpr float kRepairHealthRise = 25.0f;
constexpr std::uint32_t kSeedMultiplier = 0x9E3779B9u;

constexpr std::int32_t kMaxMaterials = 128;
constexpr std::int32_t kMaxMaterialCapacity = 4096;

// The vehicle fields the registry reads (render object, health) lie below
// the end of the health word.
constexpr std::size_t kVehicleFieldsSpan = VehicleHealth + sizeof(float);
constexpr std::size_t kAtomicFieldsSpan = AtomicGeometry + sizeof(std::uint32_t);

bool headerReadable(const void* geometry) {
    const std::uintptr_t g = reinterpret_cast<std::uintptr_t>(geometry);
    return g >= kLowestHostAddress && rangeFits(g, GeometryHeaderSize) &&
           readableRange(g, GeometryHeaderSize);
}

// Releases the record's mesh references from the last to the first.
void releaseMeshReferences(TrackedVehicle& record) {
    auto& refs = record.meshReferences;
    while (!refs.empty()) refs.pop_back();
}

} // namespace

MeshReference::~MeshReference() {
    guardedGeometryRelease(copyGeometry);
    guardedGeometryRelease(sourceGeometry);
}

TrackedVehicle::~TrackedVehicle() {
    releaseMeshReferences(*this);
}

Registry* registry() {
    return theRegistry;
}

bool createRegistry() {
    if (theRegistry == nullptr) theRegistry = new (std::nothrow) Registry();
    return theRegistry != nullptr;
}

TrackedVehicle* findRecord(Registry& r, const void* vehicle) {
    for (const auto& record : r.records) {
        if (record->vehicle == vehicle) return record.get();
    }
    return nullptr;
}

bool identityTest(const TrackedVehicle& record) {
    if (vehiclePool() == nullptr) return false;
    if (record.vehicle == nullptr) return false;
    if (game::vehicleByRef(record.handle) != record.vehicle) return false;
    if (!readableRange(record.vehicle, kVehicleFieldsSpan)) return false;
    return renderObject(record.vehicle) == record.renderObject;
}

void* BW_CDECL restoreAtomic(void* atomic, void* data) {
    const auto* record = static_cast<const TrackedVehicle*>(data);
    if (record == nullptr || !readableRange(atomic, kAtomicFieldsSpan)) return atomic;
    const void* current = atomicGeometry(atomic);
    for (const auto& ref : record->meshReferences) {
        if (ref->copyGeometry != nullptr && ref->copyGeometry == current) {
            // Without a source there is nothing to put back; leaving the copy
            // on is safer than detaching the atomic's geometry.
            if (ref->sourceGeometry != nullptr) {
                plugin::phase("cleanup: restore original atomic geometry");
                game::setGeometry(atomic, ref->sourceGeometry, 0);
            }
            break;
        }
    }
    return atomic;
}

void resetRecord(TrackedVehicle& record) {
    plugin::phase("cleanup: check vehicle identity");
    if (identityTest(record) && record.renderObject != nullptr) {
        game::atomics(record.renderObject, &restoreAtomic, &record);
    }
    plugin::phase("cleanup: release mesh references");
    releaseMeshReferences(record);
    record.carried.clear();
    record.hidden.clear();
    record.copiedVertexTotal = 0;
    record.episode = dent::Episode{};
}

void eraseRecord(Registry& r, std::size_t index) {
    if (index >= r.records.size()) return;
    // Taken out first, so the list is consistent while the record's
    // references are released.
    std::unique_ptr<TrackedVehicle> gone = std::move(r.records[index]);
    r.records.erase(r.records.begin() + static_cast<std::ptrdiff_t>(index));
    gone.reset();
}

void deleteAllRecords(Registry& r) {
    while (!r.records.empty()) eraseRecord(r, r.records.size() - 1);
}

TrackedVehicle* createRecord(Registry& r, void* vehicle, std::uint32_t now) {
    if (vehicle == nullptr || !readableRange(vehicle, kVehicleFieldsSpan)) return nullptr;
    std::unique_ptr<TrackedVehicle> record(new (std::nothrow) TrackedVehicle());
    if (!record) return nullptr;
    record->vehicle = vehicle;
    record->handle = game::vehicleRef(vehicle);
    record->renderObject = renderObject(vehicle);
    record->seed = (static_cast<std::uint32_t>(record->handle) * kSeedMultiplier) ^ now;
    record->lastHealth = vehicleHealth(vehicle);
    record->lastHitTime = now;
    try {
        r.records.push_back(std::move(record));
    } catch (...) {
        return nullptr;
    }
    return r.records.back().get();
}

bool makeRoom(Registry& r, const void* keepVehicle, std::uint32_t now) {
    if (r.records.size() < plugin::settings().maxTrackedVehicles) return true;
    std::size_t chosen = r.records.size();
    std::uint32_t longestIdle = 0;
    for (std::size_t i = 0; i < r.records.size(); ++i) {
        const TrackedVehicle& record = *r.records[i];
        if (record.vehicle == keepVehicle) continue;
        const std::uint32_t idle = now - record.lastHitTime;
        if (idle < kMinIdleForEvictionMs) continue;
        // Strictly greater: on a tie the earlier record goes.
        if (chosen == r.records.size() || idle > longestIdle) {
            chosen = i;
            longestIdle = idle;
        }
    }
    if (chosen == r.records.size()) return false;
    resetRecord(*r.records[chosen]);
    eraseRecord(r, chosen);
    return true;
}

void frameWalk(Registry& r) {
    std::size_t i = 0;
    while (i < r.records.size()) {
        TrackedVehicle& record = *r.records[i];
        if (!identityTest(record)) {
            eraseRecord(r, i); // the next record moves into place i
            continue;
        }
        const float health = vehicleHealth(record.vehicle);
        record.healthDrop = record.lastHealth - health;
        record.lastHealth = health;
        if (std::isfinite(health) && record.healthDrop < -kRepairHealthRise) {
            resetRecord(record);
            record.healthDrop = 0.0f;
        }
        ++i;
    }
}

bool materialTableSafe(const void* geometry) {
    if (!headerReadable(geometry)) return false;
    const std::int32_t count = materialCount(geometry);
    const std::int32_t capacity = materialCapacity(geometry);
    if (capacity > kMaxMaterialCapacity) return false;
    if (count < 1 || count > kMaxMaterials) return false;
    if (capacity < count) return false;

    const void* table = materialTable(geometry);
    const std::uintptr_t t = reinterpret_cast<std::uintptr_t>(table);
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(std::uint32_t);
    if (t < kLowestHostAddress || !rangeFits(t, bytes)) return false;
    if (!readableRange(t, bytes)) return false;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint32_t entry =
            field<std::uint32_t>(table, static_cast<std::uint32_t>(i) * sizeof(std::uint32_t));
        if (entry < kLowestHostAddress || (entry & 3u) != 0) return false;
    }
    return true;
}

void guardedGeometryRelease(void* geometry) {
    if (geometry == nullptr) return;
    plugin::phase("geometry: release owned reference");
    if (headerReadable(geometry) &&
        (materialCount(geometry) == 0 || materialTableSafe(geometry))) {
        game::destroyGeometry(geometry);
        forgetReadableRegions(); // the host may have unmapped its memory
        return;
    }
    plugin::logLine("MaterialGuard: invalid geometry retained; unsafe material release skipped.");
}

} // namespace game
