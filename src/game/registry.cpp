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

bool releasable(const void* geometry) {
    return headerReadable(geometry) &&
           (materialCount(geometry) == 0 || materialTableSafe(geometry));
}

// References a failed guard kept (a memory query can fail for a moment):
// dropped once their guard passes, at a later frame or at the release before
// a shutdown, never unguarded. A full list keeps the rest for good.
constexpr std::size_t kMaxRetained = 64;
void* g_retained[kMaxRetained];
std::size_t g_retainedCount = 0;

void releaseRetained() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < g_retainedCount; ++i) {
        void* geometry = g_retained[i];
        plugin::phase("geometry: release owned reference");
        if (releasable(geometry)) {
            game::destroyGeometry(geometry);
            forgetReadableRegions(); // the host may have unmapped its memory
        } else {
            g_retained[kept++] = geometry;
        }
    }
    g_retainedCount = kept;
}

// The identity test, asked once more when the system could not answer it: a
// car must not lose its record (and its sources their way back) to a query
// that failed for a moment.
bool confirmedIdentity(const TrackedVehicle& record) {
    const std::uint32_t failures = memoryQueryFailures();
    if (identityTest(record)) return true;
    return memoryQueryFailures() != failures && identityTest(record);
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
    if (record == nullptr) return atomic;
    // The one chance to put this atomic's source back: a test the system
    // could not answer is asked once more, and if it still cannot, the part
    // keeps its dented copy and says so.
    const std::uint32_t failures = memoryQueryFailures();
    if (!readableRange(atomic, kAtomicFieldsSpan)) {
        if (memoryQueryFailures() == failures) return atomic;
        if (!readableRange(atomic, kAtomicFieldsSpan)) {
            plugin::logLoss(
                "Restore skipped: a part of a car could not be read and keeps its dents.");
            return atomic;
        }
    }
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
    if (confirmedIdentity(record) && record.renderObject != nullptr) {
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
    releaseRetained();
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
    releaseRetained();
    std::size_t i = 0;
    while (i < r.records.size()) {
        TrackedVehicle& record = *r.records[i];
        if (!confirmedIdentity(record)) {
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
    if (releasable(geometry)) {
        game::destroyGeometry(geometry);
        forgetReadableRegions(); // the host may have unmapped its memory
        return;
    }
    plugin::logLine("MaterialGuard: invalid geometry retained; unsafe material release skipped.");
    if (g_retainedCount < kMaxRetained) g_retained[g_retainedCount++] = geometry;
}

std::size_t retainedGeometries() {
    return g_retainedCount;
}

} // namespace game
