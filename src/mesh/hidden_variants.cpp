#include "mesh/hidden_variants.h"

#include "game/host_layout.h"
#include "game/readable_range.h"
#include "mesh/atomic_reads.h"
#include "mesh/crease_topology.h"
#include "mesh/driver_step.h"
#include "mesh/frame_work.h"
#include "mesh/panel_setup.h"
#include "mesh/private_copy.h"
#include "mesh/vertex_budget.h"
#include "plugin/settings.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace mesh {

namespace {

constexpr std::uint32_t kVariantMask = 3;
constexpr std::uint32_t kIntactVariant = 1;
constexpr std::uint32_t kDamagedVariant = 2;
constexpr std::size_t kMaxHiddenDents = 64;

// A variant begins to wait. Its car's damage record may have changed since
// it was last looked at while nothing waited: the next frame looks again.
void waitHidden(game::TrackedVehicle& record, game::HiddenVariant&& variant) {
    record.hidden.push_back(std::move(variant));
    record.damageSeen.clear();
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
    enterStep("atomic: build shown variant");
    game::MeshReference* ref = attachCopy(h.atomic, h.geometry, record, n);
    if (ref == nullptr) return;
    for (const game::AtomicDent& hitDent : h.dents) {
        HitContext hit = replayContext(record, hitDent);
        if (!hitDent.reached &&
            !withinReach(ref->rest.data(), static_cast<std::int32_t>(ref->rest.size()),
                         hitDent.point, hitDent.radius))
            continue;
        applyDent(h.atomic, *ref, hitDent.point, hitDent.direction, hit);
    }
}

} // namespace

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
    noteStep("atomic: measure hidden panel");
    describePanel(atomic, record, panel);
    if (!creaseShapeAccepted(geometry, panel)) return false;
    charge(static_cast<std::uint32_t>(n));
    if (fitsAnyway(record, 0, 1)) {
        waitHidden(record, {atomic, geometry, takeTurn(), false, 0, {hitDent}});
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

void addHiddenDent(game::TrackedVehicle& record, game::HiddenVariant& variant,
                   const game::AtomicDent& hitDent) {
    variant.dents.push_back(hitDent);
    if (variant.dents.size() >= kMaxHiddenDents) buildHiddenVariant(record, variant);
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
                logFailedStep();
            }
        }
    }
}

} // namespace mesh
