#include "mesh/deform_atomic.h"

#include "dent/body_frame.h"
#include "dent/displace.h"
#include "dent/panel_vertices.h"
#include "game/buffer_guard.h"
#include "game/host_layout.h"
#include "game/readable_range.h"
#include "game/registry.h"
#include "mesh/crease_topology.h"
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
#include <utility>

namespace mesh {

namespace {

constexpr std::uint32_t kMaxGuardReports = 12;
constexpr int kMaxFramesExamined = 24;
constexpr std::int32_t kMaxCopyVertices = 30000;
// Host frame names are short; anything longer is cut before the search.

const char* const kExcludedWords[] = {"wheel", "exhaust", "misc", "ug_", "chassis_vlo"};

// A part the game keeps in two variants, intact and damaged, draws one.
constexpr std::uint32_t kVariantMask = 3;
constexpr std::uint32_t kIntactVariant = 1;
constexpr std::uint32_t kDamagedVariant = 2;
// A hidden variant struck this often is built at once, so that what it
// keeps to replay stays small however long it stays hidden.
constexpr std::size_t kMaxHiddenDents = 64;
// The most vertices a rebuilt panel has (10000 pieces of three).
constexpr std::int32_t kMostPanelVertices = kMaxCopyVertices;
constexpr std::size_t kAtomicFieldsSpan = game::AtomicGeometry + sizeof(std::uint32_t);

std::uint32_t guardReports = 0;

// The work done in this frame and the work first touches may start below,
// the cars whose first touches ran in it, and whether carried work still
// waits after the frame's share of it.
std::uint32_t frameWork = 0;
unsigned carsThisFrame = 0;
bool workWaiting = false;
// No limit outside a frame's update (tests that drive the walk themselves).
std::uint32_t frameBudget = UINT32_MAX;
std::uint64_t nextTurn = 1;

// The driver's step, for the line that reports an exception: the phase
// marker alone would name the copy's last step after a clone.
const char* driverStep = "atomic: begin";

void step(const char* text) {
    driverStep = text;
    plugin::phase(text);
}

void buildHiddenVariant(game::TrackedVehicle& record, game::HiddenVariant& variant);
void countHiddenPanels();

// Work is counted in mesh points handled: a copy's source vertices and
// triangles, a rebuilt panel's vertices twice (cut and mapped), the vertices
// a dent moves or places, half a hidden panel's vertices to count them.
void charge(std::uint64_t work) {
    const std::uint64_t total = frameWork + work;
    frameWork = total > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(total);
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

template <class Waiting>
Waiting* findWaiting(std::vector<Waiting>& list, const void* atomic, const void* geometry) {
    for (Waiting& w : list) {
        if (w.atomic == atomic && w.geometry == geometry) return &w;
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

// Hidden panels whose vertex count is not worked out yet: on this vehicle,
// and on every tracked vehicle.
std::uint64_t uncounted(const game::TrackedVehicle& record) {
    std::uint64_t n = 0;
    for (const game::HiddenVariant& h : record.hidden)
        n += h.counted ? 0 : 1;
    return n;
}

std::uint64_t uncountedEverywhere(const game::TrackedVehicle& self) {
    const game::Registry* r = game::registry();
    std::uint64_t n = 0;
    bool selfCounted = false;
    if (r != nullptr) {
        for (const auto& record : r->records) {
            n += uncounted(*record);
            selfCounted = selfCounted || record.get() == &self;
        }
    }
    return selfCounted ? n : n + uncounted(self);
}

// `add` more vertices fit the vehicle's limit and MaxTotalVertices however
// large the hidden panels not yet worked out turn out (`extra` more of them).
bool fitsAnyway(const game::TrackedVehicle& record, std::uint64_t add, std::uint64_t extra) {
    const std::uint64_t most = kMostPanelVertices;
    return record.copiedVertexTotal + add + most * (uncounted(record) + extra) <=
               kMaxVehicleVertices &&
           copiedVerticesEverywhere(record) + add + most * (uncountedEverywhere(record) + extra) <=
               plugin::settings().maxTotalVertices;
}

// `m` more copied vertices fit the vehicle's limit and MaxTotalVertices.
// Where the hidden panels still to be worked out could change the answer,
// they are worked out first: every answer is the one their counts give.
bool verticesFit(const game::TrackedVehicle& record, std::int32_t m) {
    const std::uint64_t add = static_cast<std::uint64_t>(m);
    if (!fitsAnyway(record, add, 0)) countHiddenPanels();
    if (record.copiedVertexTotal + add > kMaxVehicleVertices) return false;
    return copiedVerticesEverywhere(record) + add <= plugin::settings().maxTotalVertices;
}

// The copy must be what the driver can dent, and fit every budget.
bool copyAcceptable(const void* copy, const game::TrackedVehicle& record, std::int32_t& m) {
    if (game::morphTargetCount(copy) != 1 || game::morphOffset == 0) return false;
    if (positionsOf(copy) == nullptr) return false;
    m = game::vertexCount(copy);
    if (m < 1 || m > kMaxCopyVertices) return false;
    return verticesFit(record, m);
}

// Room for one more private mesh of `n` source vertices on this vehicle.
bool roomForMesh(const game::TrackedVehicle& record, std::int32_t n) {
    if (record.meshReferences.size() + record.hidden.size() >= kMaxMeshReferences) return false;
    const std::uint64_t add = static_cast<std::uint64_t>(n);
    if (record.copiedVertexTotal + add + std::uint64_t(kMostPanelVertices) * uncounted(record) >
        kMaxVehicleVertices)
        countHiddenPanels();
    return record.copiedVertexTotal + add <= kMaxVehicleVertices;
}

// First dent of this atomic: copy its geometry, take a reference on the
// source and put the copy on the atomic. Null when anything refuses; the
// atomic then keeps its geometry and nothing is held.
game::MeshReference* attachCopy(void* atomic, void* geometry, game::TrackedVehicle& record,
                                std::int32_t n) {
    if (!roomForMesh(record, n)) return nullptr;
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
    charge(static_cast<std::uint64_t>(n) +
           static_cast<std::uint32_t>(game::triangleCount(geometry)));

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

// Moves the copy's vertices by one dent (the hit's depth, radius and serial
// are in `hit`) and grows the bounds the atomic is drawn with.
void applyDent(void* atomic, game::MeshReference& ref, dent::Vec q, dent::Vec d, HitContext& hit) {
    void* geometry = ref.copyGeometry;
    step("atomic: lock vertices");
    const bool withNormals = ref.panel.kind != 0 && !ref.panel.restNormals.empty();
    const std::int32_t mode =
        withNormals ? (game::LockPositions | game::LockNormals) : game::LockPositions;
    if (game::lock(geometry, mode) == nullptr) return;
    // Should the pass throw, the geometry is unlocked on the way out.
    LockedGeometry locked{geometry};

    step("atomic: displace vertices");
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

// The hit's context for one waiting dent, replayed outside its hit.
HitContext contextOf(game::TrackedVehicle& record, const game::AtomicDent& hitDent) {
    HitContext hit{};
    hit.record = &record;
    hit.depth = hitDent.depth;
    hit.radius = hitDent.radius;
    hit.serial = hitDent.serial;
    return hit;
}

// The game draws the atomic now.
bool shown(void* atomic) {
    return game::readableRange(game::bytesAt(atomic, game::AtomicObjectFlags), 1) &&
           game::atomicRendered(atomic);
}

// A variant begins to wait. Its car's damage record may have changed since
// it was last looked at while nothing waited: the next frame looks again.
void waitHidden(game::TrackedVehicle& record, game::HiddenVariant&& variant) {
    record.hidden.push_back(std::move(variant));
    record.damageSeen.clear();
}

// A part's variant that the game does not draw (the damaged one until the
// part's damage shows it, the intact one from then on) is not copied until
// it does, and the dent is kept to replay then. Its copy's vertices are held
// against the budgets: a plain copy's at once (the source's count); a
// bonnet's or boot's rebuilt panel's worked out at once when the budgets
// might not hold the largest panel, else before the next frame's work. False
// when the atomic is no such variant, or a panel whose rebuild would refuse
// its shape (it is then copied as before); true when it waits, or when a
// budget turned it away.
bool deferHiddenVariant(void* atomic, void* geometry, game::TrackedVehicle& record,
                        std::int32_t n, const game::AtomicDent& hitDent) {
    const std::uint32_t variant = game::atomicFlags(atomic) & kVariantMask;
    if ((variant != kIntactVariant && variant != kDamagedVariant) || shown(atomic)) return false;
    game::PanelState panel;
    if (plugin::settings().panelBending) panel.kind = classifyPanel(game::atomicFrame(atomic));
    if (!roomForMesh(record, n)) return true;
    if (panel.kind == kPanelOrdinary) {
        if (n > kMaxCopyVertices) return false;
        if (!verticesFit(record, n)) return true;
        waitHidden(record, {atomic, geometry, 0, true, static_cast<std::uint32_t>(n), {hitDent}});
        record.copiedVertexTotal += static_cast<std::uint32_t>(n);
        return true;
    }
    driverStep = "atomic: measure hidden panel";
    describePanel(atomic, record, panel);
    if (!creaseShapeAccepted(geometry, panel)) return false;
    charge(static_cast<std::uint32_t>(n));
    if (fitsAnyway(record, 0, 1)) {
        waitHidden(record, {atomic, geometry, nextTurn++, false, 0, {hitDent}});
        return true;
    }
    const std::int32_t m = creaseVertexCount(geometry, panel);
    charge(static_cast<std::uint32_t>(m) / 2);
    if (m < 1 || m > kMaxCopyVertices) return false;
    if (!verticesFit(record, m)) return true;
    waitHidden(record, {atomic, geometry, 0, true, static_cast<std::uint32_t>(m), {hitDent}});
    record.copiedVertexTotal += static_cast<std::uint32_t>(m);
    return true;
}

// The first dent that reaches an atomic without a copy.
void firstTouch(void* atomic, void* geometry, game::TrackedVehicle& record,
                const game::AtomicDent& hitDent, HitContext& hit) {
    const std::int32_t n = game::vertexCount(geometry);
    if (n <= 0) return;
    if (deferHiddenVariant(atomic, geometry, record, n, hitDent)) return;
    game::MeshReference* ref = attachCopy(atomic, geometry, record, n);
    if (ref != nullptr) applyDent(atomic, *ref, hitDent.point, hitDent.direction, hit);
}

// One dent on an atomic, wherever its work stands: on its copy, kept with
// its waiting work, or as its first touch.
void dentAtomic(void* atomic, void* geometry, game::TrackedVehicle& record,
                const game::AtomicDent& hitDent, HitContext& hit) {
    const std::int32_t n = game::vertexCount(geometry);
    if (n <= 0) return;
    if (game::MeshReference* ref = findReference(record, geometry)) {
        if (ref->rest.size() != static_cast<std::size_t>(n)) return; // not the copy we made
        if (!withinReach(ref->rest.data(), n, hitDent.point, hitDent.radius)) return;
        applyDent(atomic, *ref, hitDent.point, hitDent.direction, hit);
        return;
    }
    if (game::HiddenVariant* h = findWaiting(record.hidden, atomic, geometry)) {
        h->dents.push_back(hitDent);
        if (h->dents.size() >= kMaxHiddenDents) buildHiddenVariant(record, *h);
        return;
    }
    if (!withinReach(positionsOf(geometry), n, hitDent.point, hitDent.radius)) return;
    game::AtomicDent first = hitDent;
    first.reached = true;
    firstTouch(atomic, geometry, record, first, hit);
}

// Parts never dented, and geometries the plug-in cannot read, are left alone.
bool dentable(void* frame, void* geometry) {
    if (excludedPart(frame)) return false;
    if (game::cpuBufferGuard(geometry, game::morphOffset)) return true;
    if (guardReports < kMaxGuardReports) {
        ++guardReports;
        plugin::logLine("GeometryGuard: unsupported or invalid CPU buffers; atomic skipped.");
    }
    return false;
}

// The hit in the atomic's frame, with its frame's matrix of this moment.
bool localDent(void* frame, const HitContext& hit, game::AtomicDent& out) {
    step("atomic: get frame matrix");
    const void* ltm = game::frameLTM(frame);
    if (ltm == nullptr) return false;
    dent::BodyMatrix m;
    std::memcpy(&m, ltm, sizeof m);
    if (!dent::isSaneMatrix(m)) return false;
    out = game::AtomicDent{dent::toBodyFrame(m, hit.worldPoint),
                           dent::toBodyDirection(m, hit.worldNormal),
                           hit.depth,
                           hit.radius,
                           hit.serial,
                           false};
    return true;
}

void deform(void* atomic, HitContext& hit) {
    step("atomic: begin / inspect frame and geometry");
    ++hit.visited;
    if (hit.record == nullptr) return;
    game::TrackedVehicle& record = *hit.record;
    void* frame = game::atomicFrame(atomic);
    void* geometry = game::atomicGeometry(atomic);
    if (frame == nullptr || geometry == nullptr) return;

    // A car's first touches all wait, or none do: decided at its first one.
    // They wait behind work still carried, and once two cars' first touches
    // ran in this frame, for as long as its work is at the budget. A waiting
    // first touch takes only the matrix of this moment; the rest is done when
    // its turn comes.
    if (findReference(record, geometry) == nullptr &&
        findWaiting(record.hidden, atomic, geometry) == nullptr) {
        if (!hit.firstTouchesDecided) {
            hit.firstTouchesDecided = true;
            hit.firstTouchesCarried =
                workWaiting || (carsThisFrame >= 2 && frameWork >= frameBudget);
            if (hit.firstTouchesCarried)
                hit.turn = nextTurn++;
            else
                ++carsThisFrame;
        }
        game::CarriedAtomic* waiting = findWaiting(record.carried, atomic, geometry);
        if (waiting != nullptr || hit.firstTouchesCarried) {
            game::AtomicDent here{};
            if (!localDent(frame, hit, here)) return;
            if (waiting != nullptr)
                waiting->dents.push_back(here);
            else
                record.carried.push_back(game::CarriedAtomic{hit.turn, atomic, geometry, {here}});
            return;
        }
    }

    if (!dentable(frame, geometry)) return;
    game::AtomicDent here{};
    if (!localDent(frame, hit, here)) return;
    dentAtomic(atomic, geometry, record, here, hit);
}

// An atomic of a waiting entry, if it still draws what it drew then.
bool stillOn(void* atomic, void* geometry) {
    return game::readableRange(atomic, kAtomicFieldsSpan) &&
           game::atomicGeometry(atomic) == geometry;
}

void buildHiddenVariant(game::TrackedVehicle& record, game::HiddenVariant& variant) {
    // Taken out first: whatever happens below, it waits no more.
    game::HiddenVariant h = std::move(variant);
    for (std::size_t i = 0; i < record.hidden.size(); ++i) {
        if (&record.hidden[i] == &variant) {
            record.hidden.erase(record.hidden.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    record.copiedVertexTotal -= std::min(record.copiedVertexTotal, h.reservedVertices);
    if (!stillOn(h.atomic, h.geometry)) return;
    const std::int32_t n = game::vertexCount(h.geometry);
    step("atomic: build shown variant");
    game::MeshReference* ref = attachCopy(h.atomic, h.geometry, record, n);
    if (ref == nullptr) return;
    for (const game::AtomicDent& hitDent : h.dents) {
        HitContext hit = contextOf(record, hitDent);
        if (!hitDent.reached &&
            !withinReach(ref->rest.data(), static_cast<std::int32_t>(ref->rest.size()),
                         hitDent.point, hitDent.radius))
            continue;
        applyDent(h.atomic, *ref, hitDent.point, hitDent.direction, hit);
    }
}

// Works out the vertices of a hidden panel and holds them against the
// budgets: the rebuilt panel's, or the plain copy's when the rebuild would
// refuse it (its room was certain when it began to wait). False when its
// atomic no longer draws it: it is then to be dropped, holding nothing.
bool countHidden(game::TrackedVehicle& record, game::HiddenVariant& h) {
    h.counted = true;
    if (!stillOn(h.atomic, h.geometry) || !game::cpuBufferGuard(h.geometry, game::morphOffset))
        return false;
    const char* previous = driverStep;
    driverStep = "atomic: count hidden panel";
    game::PanelState panel;
    panel.kind = classifyPanel(game::atomicFrame(h.atomic));
    describePanel(h.atomic, record, panel);
    const std::int32_t m = creaseVertexCount(h.geometry, panel);
    charge(static_cast<std::uint32_t>(m) / 2);
    h.reservedVertices = static_cast<std::uint32_t>(
        m >= 1 && m <= kMaxCopyVertices ? m : game::vertexCount(h.geometry));
    record.copiedVertexTotal += h.reservedVertices;
    driverStep = previous;
    return true;
}

void dropStale(game::TrackedVehicle& record) {
    auto& list = record.hidden;
    for (std::size_t i = 0; i < list.size();) {
        if (list[i].counted && list[i].reservedVertices == 0)
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        else
            ++i;
    }
}

// Every hidden panel not counted yet, at once: before a budget answer that
// their counts could change.
void countHiddenPanels() {
    game::Registry* r = game::registry();
    if (r == nullptr) return;
    for (const auto& record : r->records) {
        bool stale = false;
        for (game::HiddenVariant& h : record->hidden)
            if (!h.counted && !countHidden(*record, h)) stale = true;
        if (stale) dropStale(*record);
    }
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

void beginFrameWork() {
    frameWork = 0;
    frameBudget = plugin::settings().maxDentWorkPerFrame;
    carsThisFrame = 0;
    workWaiting = false;
}

void endFrameWork() {
    frameBudget = UINT32_MAX;
    carsThisFrame = 0;
    workWaiting = false;
}

std::uint32_t frameWorkDone() {
    return frameWork;
}

void buildShownVariants(game::Registry& registry) {
    for (const auto& record : registry.records) {
        if (record->hidden.empty()) continue;
        // The game shows a variant when the part's damage state turns: while
        // the damage record stays as it was, nothing new shows.
        const void* damage = game::vehicleDamage(record->vehicle);
        if (!game::readableRange(damage, game::DamageRecordSize)) continue;
        if (record->damageSeen.size() == game::DamageRecordSize &&
            std::memcmp(record->damageSeen.data(), damage, game::DamageRecordSize) == 0)
            continue;
        const auto* bytes = static_cast<const std::uint8_t*>(damage);
        record->damageSeen.assign(bytes, bytes + game::DamageRecordSize);
        std::size_t i = 0;
        while (i < record->hidden.size()) {
            game::HiddenVariant& h = record->hidden[i];
            // One guarded read covers the drawing flag and the geometry.
            if (!stillOn(h.atomic, h.geometry) || !game::atomicRendered(h.atomic)) {
                ++i;
                continue;
            }
            try {
                buildHiddenVariant(*record, h); // takes it out of the list
            } catch (...) {
                plugin::logFormat(256, "Deformation failed during \"%s\"; atomic left unchanged.",
                                  driverStep);
            }
        }
    }
}

void runCarriedWork(game::Registry& registry) {
    for (;;) {
        if (frameWork >= frameBudget) {
            for (const auto& record : registry.records)
                workWaiting = workWaiting || !record->carried.empty();
            return;
        }
        // The oldest waiting work, wherever it waits: a first touch carried
        // by the budget, or a hidden panel to count.
        game::TrackedVehicle* owner = nullptr;
        game::HiddenVariant* count = nullptr;
        std::uint64_t turn = 0;
        for (const auto& record : registry.records) {
            for (const game::CarriedAtomic& c : record->carried) {
                if (owner == nullptr || c.turn < turn) {
                    owner = record.get();
                    count = nullptr;
                    turn = c.turn;
                }
            }
            for (game::HiddenVariant& h : record->hidden) {
                if (!h.counted && (owner == nullptr || h.turn < turn)) {
                    owner = record.get();
                    count = &h;
                    turn = h.turn;
                }
            }
        }
        if (owner == nullptr) return;
        if (count != nullptr) {
            if (!countHidden(*owner, *count)) dropStale(*owner);
            continue;
        }
        // Taken out first, so that nothing is done twice.
        std::vector<game::CarriedAtomic> due;
        for (std::size_t i = 0; i < owner->carried.size();) {
            if (owner->carried[i].turn == turn) {
                due.push_back(std::move(owner->carried[i]));
                owner->carried.erase(owner->carried.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
        ++carsThisFrame;
        for (game::CarriedAtomic& c : due) {
            if (!stillOn(c.atomic, c.geometry)) continue;
            step("atomic: carried first touch");
            try {
                void* frame = game::atomicFrame(c.atomic);
                for (const game::AtomicDent& hitDent : c.dents) {
                    // The atomic's geometry changes at its first touch.
                    void* geometry = game::atomicGeometry(c.atomic);
                    if (frame == nullptr || geometry == nullptr || !dentable(frame, geometry))
                        break;
                    HitContext hit = contextOf(*owner, hitDent);
                    dentAtomic(c.atomic, geometry, *owner, hitDent, hit);
                }
            } catch (...) {
                plugin::logFormat(256, "Deformation failed during \"%s\"; atomic left unchanged.",
                                  driverStep);
            }
        }
    }
}

std::uint32_t geometryGuardReports() { return guardReports; }

void resetGeometryGuardReportsForTesting() { guardReports = 0; }

} // namespace mesh
