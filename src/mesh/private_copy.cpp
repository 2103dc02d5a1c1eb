#include "mesh/private_copy.h"

#include "dent/displace.h"
#include "dent/panel_vertices.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "mesh/atomic_reads.h"
#include "mesh/driver_step.h"
#include "mesh/frame_work.h"
#include "mesh/geometry_clone.h"
#include "mesh/panel_pass.h"
#include "mesh/panel_setup.h"
#include "mesh/vertex_budget.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <cmath>
#include <cstring>
#include <memory>

namespace mesh {

namespace {

// The copy must be what the driver can dent, and fit every budget.
bool copyAcceptable(const void* copy, const game::TrackedVehicle& record, std::int32_t& m) {
    if (game::morphTargetCount(copy) != 1 || game::morphOffset == 0) return false;
    if (positionsOf(copy) == nullptr) return false;
    m = game::vertexCount(copy);
    if (m < 1 || m > kMaxCopyVertices) return false;
    return verticesFit(record, m);
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

} // namespace

game::MeshReference* attachCopy(void* atomic, void* geometry, game::TrackedVehicle& record,
                                std::int32_t n) {
    if (!roomForMesh(record, n)) return nullptr;
    // Room in the list first, so that nothing below can fail after the
    // source's count has been raised.
    record.meshReferences.reserve(record.meshReferences.size() + 1);
    auto ref = std::make_unique<game::MeshReference>();

    enterStep("atomic: clone geometry");
    ref->copyGeometry = cloneGeometry(geometry);
    if (ref->copyGeometry == nullptr) {
        plugin::logLine("Geometry clone failed; mesh skipped.");
        return nullptr;
    }
    charge(static_cast<std::uint64_t>(n) +
           static_cast<std::uint32_t>(game::triangleCount(geometry)));

    // A bonnet or boot is rebuilt for folding; its copy is then the rebuilt
    // panel, or stays the clone when the panel is refused.
    if (plugin::settings().panelBending) {
        noteStep("atomic: panel setup");
        setupPanel(atomic, game::atomicFrame(atomic), *ref, record);
    }

    noteStep("atomic: keep rest positions");
    std::int32_t m = 0;
    if (!copyAcceptable(ref->copyGeometry, record, m)) return nullptr;
    const dent::Vec* positions = positionsOf(ref->copyGeometry);
    ref->rest.assign(positions, positions + m);
    if (ref->panel.kind != 0) {
        const void* morph = game::morphTarget(ref->copyGeometry, game::morphOffset);
        const auto* normals = static_cast<const dent::Vec*>(game::morphNormals(morph));
        if (normals != nullptr) ref->panel.restNormals.assign(normals, normals + m);
        // Where each vertex lies in the lattice is measured once, here.
        ref->panel.vertexMap =
            dent::mapPanelVertices(ref->panel.lattice, ref->rest.data(), ref->rest.size());
        charge(2u * static_cast<std::uint32_t>(m)); // the rebuild and the map
    }

    ref->sourceGeometry = geometry;
    game::setField<std::int16_t>(geometry, game::GeometryRefCount,
                                 static_cast<std::int16_t>(game::geometryRefCount(geometry) + 1));
    record.meshReferences.push_back(std::move(ref)); // reserved: cannot throw
    game::MeshReference* kept = record.meshReferences.back().get();

    enterStep("atomic: attach copied geometry");
    if (game::setGeometry(atomic, kept->copyGeometry, 0) == nullptr ||
        game::atomicGeometry(atomic) != kept->copyGeometry) {
        // The atomic still draws its source: give back the copy and the count.
        record.meshReferences.pop_back();
        return nullptr;
    }
    record.copiedVertexTotal += static_cast<std::uint32_t>(m);
    return kept;
}

void applyDent(void* atomic, game::MeshReference& ref, dent::Vec q, dent::Vec d, HitContext& hit) {
    void* geometry = ref.copyGeometry;
    enterStep("atomic: lock vertices");
    const bool withNormals = ref.panel.kind != 0 && !ref.panel.restNormals.empty();
    const std::int32_t mode =
        withNormals ? (game::LockPositions | game::LockNormals) : game::LockPositions;
    if (game::lock(geometry, mode) == nullptr) return;
    // Should the pass throw, the geometry is unlocked on the way out.
    LockedGeometry locked{geometry};

    enterStep("atomic: displace vertices");
    void* morph = game::morphTarget(geometry, game::morphOffset);
    auto* positions = static_cast<dent::Vec*>(game::morphPositions(morph));
    const std::size_t count = ref.rest.size();
    // The same dent grew: move each vertex only by the growth.
    const bool sameDent = ref.lastSerial == hit.serial;
    const float previousDepth = sameDent ? ref.previousDepth : 0.0f;
    const float previousRadius = sameDent ? ref.previousRadius : 0.0f;
    if (ref.panel.kind != 0) {
        auto* normals = withNormals ? static_cast<dent::Vec*>(game::morphNormals(morph)) : nullptr;
        charge(panelPass(ref, positions, normals, count, q, d, hit, !sameDent, previousDepth,
                         previousRadius));
    } else {
        const plugin::Settings& s = plugin::settings();
        dent::dentVertices(ref.rest.data(), positions, count, q, d, hit.depth, hit.radius,
                           previousDepth, previousRadius, s.maxTotalDisplacement, s.falloffPower);
        charge(count);
    }
    ref.lastSerial = hit.serial;
    ref.previousDepth = hit.depth;
    ref.previousRadius = hit.radius;

    growBounds(morph, positions, static_cast<std::int32_t>(count));

    enterStep("atomic: unlock geometry");
    locked.unlock();

    std::memcpy(game::bytesAt(atomic, game::AtomicBoundingSphere),
                game::bytesAt(morph, game::MorphBoundingSphere), 16);
    game::setField<std::uint8_t>(
        atomic, game::AtomicPrivateFlags,
        static_cast<std::uint8_t>(game::field<std::uint8_t>(atomic, game::AtomicPrivateFlags) |
                                  game::AtomicSphereRewritten));
    ++hit.meshes;
    enterStep("atomic: complete");
}

HitContext replayContext(game::TrackedVehicle& record, const game::AtomicDent& hitDent) {
    HitContext hit{};
    hit.record = &record;
    hit.depth = hitDent.depth;
    hit.radius = hitDent.radius;
    hit.serial = hitDent.serial;
    return hit;
}

} // namespace mesh
