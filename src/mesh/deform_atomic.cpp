#include "mesh/deform_atomic.h"

#include "dent/body_frame.h"
#include "game/buffer_guard.h"
#include "game/host_layout.h"
#include "mesh/atomic_reads.h"
#include "mesh/driver_step.h"
#include "mesh/frame_name.h"
#include "mesh/frame_work.h"
#include "mesh/hidden_variants.h"
#include "mesh/hit_context.h"
#include "mesh/private_copy.h"
#include "mesh/vertex_budget.h"
#include "plugin/log.h"

#include <cstring>
#include <utility>

namespace mesh {

namespace {

constexpr std::uint32_t kMaxGuardReports = 12;
constexpr int kMaxFramesExamined = 24;
// Host frame names are short; anything longer is cut before the search.

const char* const kExcludedWords[] = {"wheel", "exhaust", "misc", "ug_", "chassis_vlo"};

std::uint32_t guardReports = 0;

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
        addHiddenDent(record, *h, hitDent);
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
    enterStep("atomic: get frame matrix");
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
    enterStep("atomic: begin / inspect frame and geometry");
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
            hit.firstTouchesCarried = firstTouchesWait();
            if (hit.firstTouchesCarried)
                hit.turn = takeTurn();
            else
                countCarStarted();
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

} // namespace

void* BW_CDECL deformAtomic(void* atomic, void* context) {
    if (atomic == nullptr || context == nullptr) return atomic;
    try {
        deform(atomic, *static_cast<HitContext*>(context));
    } catch (...) {
        // Never unwind into the host's walk. Whatever was half-built has been
        // released by its owner on the way out; the atomic keeps the
        // geometry it had.
        logFailedStep();
    }
    return atomic;
}

void runCarriedWork(game::Registry& registry) {
    for (;;) {
        if (frameBudgetSpent()) {
            for (const auto& record : registry.records)
                if (!record->carried.empty()) noteWorkWaiting();
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
        countCarStarted();
        for (game::CarriedAtomic& c : due) {
            if (!stillOn(c.atomic, c.geometry)) continue;
            enterStep("atomic: carried first touch");
            try {
                void* frame = game::atomicFrame(c.atomic);
                for (const game::AtomicDent& hitDent : c.dents) {
                    // The atomic's geometry changes at its first touch.
                    void* geometry = game::atomicGeometry(c.atomic);
                    if (frame == nullptr || geometry == nullptr || !dentable(frame, geometry))
                        break;
                    HitContext hit = replayContext(*owner, hitDent);
                    dentAtomic(c.atomic, geometry, *owner, hitDent, hit);
                }
            } catch (...) {
                logFailedStep();
            }
        }
    }
}

std::uint32_t geometryGuardReports() { return guardReports; }

void resetGeometryGuardReportsForTesting() { guardReports = 0; }

} // namespace mesh
