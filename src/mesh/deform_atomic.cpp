#include "mesh/deform_atomic.h"

#include "dent/body_frame.h"
#include "dent/displace.h"
#include "game/buffer_guard.h"
#include "game/host_layout.h"
#include "game/registry.h"
#include "mesh/frame_name.h"
#include "mesh/geometry_clone.h"
#include "mesh/hit_context.h"
#include "mesh/panel_pass.h"
#include "mesh/panel_setup.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

namespace mesh {

namespace {

constexpr std::uint32_t kMaxGuardReports = 12;
constexpr int kMaxFramesExamined = 24;
constexpr std::int32_t kMaxCopyVertices = 30000;
// Host frame names are short; anything longer is cut before the search.

const char* const kExcludedWords[] = {"wheel", "exhaust", "misc", "ug_", "chassis_vlo"};

std::uint32_t guardReports = 0;

// The driver's step, for the line that reports an exception: the phase
// marker alone would name the copy's last step after a clone.
const char* driverStep = "atomic: begin";

void step(const char* text) {
    driverStep = text;
    plugin::phase(text);
}

bool nameExcluded(const char* name) {
    if (name == nullptr) return false;
    const LowerFrameName lower(name);
    for (const char* word : kExcludedWords) {
        if (std::strstr(lower.text, word) != nullptr) return true;
    }
    return false;
}

// Wheels, exhausts and the like are never dented: their frame, or one of up
// to 23 ancestors, carries an excluded word.
bool excludedPart(void* frame) {
    for (int i = 0; i < kMaxFramesExamined && frame != nullptr; ++i) {
        if (nameExcluded(game::frameName(frame))) return true;
        frame = game::frameParent(frame);
    }
    return false;
}

game::MeshReference* findReference(game::TrackedVehicle& record, const void* geometry) {
    for (const auto& ref : record.meshReferences) {
        if (ref->copyGeometry == geometry) return ref.get();
    }
    return nullptr;
}

const dent::Vec* positionsOf(const void* geometry) {
    const void* morph = game::morphTarget(geometry, game::morphOffset);
    return morph != nullptr ? static_cast<const dent::Vec*>(game::morphPositions(morph)) : nullptr;
}

bool withinReach(const dent::Vec* points, std::int32_t count, dent::Vec centre, float radius) {
    for (std::int32_t i = 0; i < count; ++i) {
        if (dent::length(points[i] - centre) < radius) return true;
    }
    return false;
}

// Copied vertices of every tracked vehicle, in 64 bits so the sum cannot wrap.
std::uint64_t copiedVerticesEverywhere(const game::TrackedVehicle& self) {
    const game::Registry* r = game::registry();
    std::uint64_t total = 0;
    bool selfCounted = false;
    if (r != nullptr) {
        for (const auto& record : r->records) {
            total += record->copiedVertexTotal;
            selfCounted = selfCounted || record.get() == &self;
        }
    }
    if (!selfCounted) total += self.copiedVertexTotal;
    return total;
}

// The copy must be what the driver can dent, and fit every budget.
bool copyAcceptable(const void* copy, const game::TrackedVehicle& record, std::int32_t& m) {
    if (game::morphTargetCount(copy) != 1 || game::morphOffset == 0) return false;
    if (positionsOf(copy) == nullptr) return false;
    m = game::vertexCount(copy);
    if (m < 1 || m > kMaxCopyVertices) return false;
    const std::uint64_t add = static_cast<std::uint64_t>(m);
    if (record.copiedVertexTotal + add > kMaxVehicleVertices) return false;
    return copiedVerticesEverywhere(record) + add <= plugin::settings().maxTotalVertices;
}

// First dent of this atomic: copy its geometry, take a reference on the
// source and put the copy on the atomic. Null when anything refuses; the
// atomic then keeps its geometry and nothing is held.
game::MeshReference* attachCopy(void* atomic, void* geometry, game::TrackedVehicle& record,
                                std::int32_t n) {
    if (record.meshReferences.size() >= kMaxMeshReferences) return nullptr;
    if (record.copiedVertexTotal + static_cast<std::uint64_t>(n) > kMaxVehicleVertices)
        return nullptr;
    // Room in the list first, so that nothing below can fail after the
    // source's count has been raised.
    record.meshReferences.reserve(record.meshReferences.size() + 1);
    auto ref = std::make_unique<game::MeshReference>();

    step("atomic: clone geometry");
    ref->copyGeometry = cloneGeometry(geometry);
    if (ref->copyGeometry == nullptr) {
        plugin::logLine("Geometry clone failed; mesh skipped.");
        return nullptr;
    }

    // A bonnet or boot is rebuilt for folding; its copy is then the rebuilt
    // panel, or stays the clone when the panel is refused.
    if (plugin::settings().panelBending) {
        driverStep = "atomic: panel setup";
        setupPanel(atomic, game::atomicFrame(atomic), *ref, record);
    }

    driverStep = "atomic: keep rest positions";
    std::int32_t m = 0;
    if (!copyAcceptable(ref->copyGeometry, record, m)) return nullptr;
    const dent::Vec* positions = positionsOf(ref->copyGeometry);
    ref->rest.assign(positions, positions + m);
    if (ref->panel.kind != 0) {
        const void* morph = game::morphTarget(ref->copyGeometry, game::morphOffset);
        const auto* normals = static_cast<const dent::Vec*>(game::morphNormals(morph));
        if (normals != nullptr) ref->panel.restNormals.assign(normals, normals + m);
    }

    ref->sourceGeometry = geometry;
    game::setField<std::int16_t>(geometry, game::GeometryRefCount,
                                 static_cast<std::int16_t>(game::geometryRefCount(geometry) + 1));
    record.meshReferences.push_back(std::move(ref)); // reserved: cannot throw
    game::MeshReference* kept = record.meshReferences.back().get();

    step("atomic: attach copied geometry");
    if (game::setGeometry(atomic, kept->copyGeometry, 0) == nullptr ||
        game::atomicGeometry(atomic) != kept->copyGeometry) {
        // The atomic still draws its source: give back the copy and the count.
        record.meshReferences.pop_back();
        return nullptr;
    }
    record.copiedVertexTotal += static_cast<std::uint32_t>(m);
    return kept;
}

// Unlocks its geometry once: explicitly, or when leaving the scope early.
class LockedGeometry {
  public:
    explicit LockedGeometry(void* geometry) : geometry_(geometry) {}
    LockedGeometry(const LockedGeometry&) = delete;
    LockedGeometry& operator=(const LockedGeometry&) = delete;
    ~LockedGeometry() { unlock(); }
    void unlock() {
        if (geometry_ != nullptr) game::unlock(geometry_);
        geometry_ = nullptr;
    }

  private:
    void* geometry_;
};

void growBounds(void* morph, const dent::Vec* positions, std::int32_t n) {
    float sphere[4];
    std::memcpy(sphere, game::bytesAt(morph, game::MorphBoundingSphere), sizeof sphere);
    const dent::Vec centre{sphere[0], sphere[1], sphere[2]};
    float farthestSq = 0.0f;
    for (std::int32_t i = 0; i < n; ++i) {
        const dent::Vec d = positions[i] - centre;
        const float sq = dent::dot(d, d);
        if (sq > farthestSq) farthestSq = sq;
    }
    const float farthest = std::sqrt(farthestSq);
    if (farthest > sphere[3]) {
        sphere[3] = farthest;
        std::memcpy(game::bytesAt(morph, game::MorphBoundingSphere), sphere, sizeof sphere);
    }
}

void deform(void* atomic, HitContext& hit) {
    step("atomic: begin / inspect frame and geometry");
    ++hit.visited;
    if (hit.record == nullptr) return;
    game::TrackedVehicle& record = *hit.record;
    void* frame = game::atomicFrame(atomic);
    void* geometry = game::atomicGeometry(atomic);
    if (frame == nullptr || geometry == nullptr) return;
    if (excludedPart(frame)) return;

    if (!game::cpuBufferGuard(geometry, game::morphOffset)) {
        if (guardReports < kMaxGuardReports) {
            ++guardReports;
            plugin::logLine("GeometryGuard: unsupported or invalid CPU buffers; atomic skipped.");
        }
        return;
    }

    step("atomic: get frame matrix");
    const void* ltm = game::frameLTM(frame);
    if (ltm == nullptr) return;
    dent::BodyMatrix m;
    std::memcpy(&m, ltm, sizeof m);
    if (!dent::isSaneMatrix(m)) return;
    const dent::Vec q = dent::toBodyFrame(m, hit.worldPoint);
    const dent::Vec d = dent::toBodyDirection(m, hit.worldNormal);

    game::MeshReference* ref = findReference(record, geometry);
    const std::int32_t n = game::vertexCount(geometry);
    if (n <= 0) return;
    if (ref != nullptr) {
        if (ref->rest.size() != static_cast<std::size_t>(n)) return; // not the copy we made
        if (!withinReach(ref->rest.data(), n, q, hit.radius)) return;
    } else {
        if (!withinReach(positionsOf(geometry), n, q, hit.radius)) return;
        ref = attachCopy(atomic, geometry, record, n);
        if (ref == nullptr) return;
        geometry = ref->copyGeometry;
    }

    step("atomic: lock vertices");
    const bool withNormals = ref->panel.kind != 0 && !ref->panel.restNormals.empty();
    const std::int32_t mode =
        withNormals ? (game::LockPositions | game::LockNormals) : game::LockPositions;
    if (game::lock(geometry, mode) == nullptr) return;
    // Should the pass throw, the geometry is unlocked on the way out.
    LockedGeometry locked{geometry};

    step("atomic: displace vertices");
    void* morph = game::morphTarget(geometry, game::morphOffset);
    auto* positions = static_cast<dent::Vec*>(game::morphPositions(morph));
    const std::size_t count = ref->rest.size();
    // The same dent grew: move each vertex only by the growth.
    const bool sameDent = ref->lastSerial == hit.serial;
    const float previousDepth = sameDent ? ref->previousDepth : 0.0f;
    const float previousRadius = sameDent ? ref->previousRadius : 0.0f;
    if (ref->panel.kind != 0) {
        auto* normals = withNormals ? static_cast<dent::Vec*>(game::morphNormals(morph)) : nullptr;
        panelPass(*ref, positions, normals, count, q, d, hit, !sameDent, previousDepth,
                  previousRadius);
    } else {
        const plugin::Settings& s = plugin::settings();
        dent::dentVertices(ref->rest.data(), positions, count, q, d, hit.depth, hit.radius,
                           previousDepth, previousRadius, s.maxTotalDisplacement, s.falloffPower);
    }
    ref->lastSerial = hit.serial;
    ref->previousDepth = hit.depth;
    ref->previousRadius = hit.radius;

    growBounds(morph, positions, static_cast<std::int32_t>(count));

    step("atomic: unlock geometry");
    locked.unlock();

    std::memcpy(game::bytesAt(atomic, game::AtomicBoundingSphere),
                game::bytesAt(morph, game::MorphBoundingSphere), 16);
    game::setField<std::uint8_t>(
        atomic, game::AtomicPrivateFlags,
        static_cast<std::uint8_t>(game::field<std::uint8_t>(atomic, game::AtomicPrivateFlags) |
                                  game::AtomicSphereRewritten));
    ++hit.meshes;
    step("atomic: complete");
}

} // namespace

void* BW_CDECL deformAtomic(void* atomic, void* context) {
    if (atomic == nullptr || context == nullptr) return atomic;
    try {
        deform(atomic, *static_cast<HitContext*>(context));
    } catch (...) {
        // Never unwind into the host's walk. Whatever was half-built has been
        // released by its owner on the way out; the atomic keeps the
        // geometry it had.
        plugin::logFormat(256, "Deformation failed during \"%s\"; atomic left unchanged.",
                          driverStep);
    }
    return atomic;
}

std::uint32_t geometryGuardReports() { return guardReports; }

void resetGeometryGuardReportsForTesting() { guardReports = 0; }

} // namespace mesh
