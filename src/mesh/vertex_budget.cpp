#include "mesh/vertex_budget.h"

#include "game/buffer_guard.h"
#include "game/host_layout.h"
#include "mesh/atomic_reads.h"
#include "mesh/crease_topology.h"
#include "mesh/driver_step.h"
#include "mesh/frame_work.h"
#include "mesh/panel_setup.h"
#include "plugin/settings.h"

namespace mesh {

namespace {

constexpr std::uint64_t kMostPanelVertices = kMaxCopyVertices;

// `of(record)` summed over every tracked vehicle, and over `self` when it is
// not (yet) tracked, in 64 bits so the sum cannot wrap.
template <class Of> std::uint64_t everywhere(const game::TrackedVehicle& self, Of of) {
    const game::Registry* r = game::registry();
    std::uint64_t total = 0;
    bool selfCounted = false;
    if (r != nullptr) {
        for (const auto& record : r->records) {
            total += of(*record);
            selfCounted = selfCounted || record.get() == &self;
        }
    }
    return selfCounted ? total : total + of(self);
}

std::uint64_t copiedVertices(const game::TrackedVehicle& record) {
    return record.copiedVertexTotal;
}

// Hidden panels whose vertex count is not worked out yet.
std::uint64_t uncounted(const game::TrackedVehicle& record) {
    std::uint64_t n = 0;
    for (const game::HiddenVariant& h : record.hidden)
        n += h.counted ? 0 : 1;
    return n;
}

std::uint64_t copiedVerticesEverywhere(const game::TrackedVehicle& self) {
    return everywhere(self, copiedVertices);
}

std::uint64_t uncountedEverywhere(const game::TrackedVehicle& self) {
    return everywhere(self, uncounted);
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

bool fitsAnyway(const game::TrackedVehicle& record, std::uint64_t add, std::uint64_t extra) {
    return record.copiedVertexTotal + add + kMostPanelVertices * (uncounted(record) + extra) <=
               kMaxVehicleVertices &&
           copiedVerticesEverywhere(record) + add +
                   kMostPanelVertices * (uncountedEverywhere(record) + extra) <=
               plugin::settings().maxTotalVertices;
}

bool verticesFit(const game::TrackedVehicle& record, std::int32_t m) {
    const std::uint64_t add = static_cast<std::uint64_t>(m);
    if (!fitsAnyway(record, add, 0)) countHiddenPanels();
    if (record.copiedVertexTotal + add > kMaxVehicleVertices) return false;
    return copiedVerticesEverywhere(record) + add <= plugin::settings().maxTotalVertices;
}

bool roomForMesh(const game::TrackedVehicle& record, std::int32_t n) {
    if (record.meshReferences.size() + record.hidden.size() >= kMaxMeshReferences) return false;
    const std::uint64_t add = static_cast<std::uint64_t>(n);
    if (record.copiedVertexTotal + add + kMostPanelVertices * uncounted(record) >
        kMaxVehicleVertices)
        countHiddenPanels();
    return record.copiedVertexTotal + add <= kMaxVehicleVertices;
}

bool countHidden(game::TrackedVehicle& record, game::HiddenVariant& h) {
    h.counted = true;
    if (!stillOn(h.atomic, h.geometry) || !game::cpuBufferGuard(h.geometry, game::morphOffset))
        return false;
    const char* previous = currentStep();
    noteStep("atomic: count hidden panel");
    game::PanelState panel;
    panel.kind = classifyPanel(game::atomicFrame(h.atomic));
    describePanel(h.atomic, record, panel);
    const std::int32_t m = creaseVertexCount(h.geometry, panel);
    charge(static_cast<std::uint32_t>(m) / 2);
    h.reservedVertices = static_cast<std::uint32_t>(
        m >= 1 && m <= kMaxCopyVertices ? m : game::vertexCount(h.geometry));
    record.copiedVertexTotal += h.reservedVertices;
    noteStep(previous);
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

} // namespace mesh
