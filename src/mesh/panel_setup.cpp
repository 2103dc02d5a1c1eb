#include "mesh/panel_setup.h"

#include "dent/fold_profile.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "mesh/crease_topology.h"
#include "mesh/frame_name.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <cstddef>
#include <cstring>

namespace mesh {

namespace {

constexpr int kMaxFramesExamined = 24;
// Longer names are cut before the prefix test; every panel word is shorter.
constexpr std::uint32_t kVariantMask = 3;
constexpr std::uint32_t kDamagedVariant = 2;

struct PanelWord {
    const char* prefix;
    std::int32_t kind;
};
const PanelWord kPanelWords[] = {
    {"bonnet", kPanelBonnet}, {"hood", kPanelBonnet}, {"boot", kPanelBoot}, {"trunk", kPanelBoot}};

std::int32_t kindOfName(const char* name) {
    if (name == nullptr) return kPanelOrdinary;
    const LowerFrameName lower(name);
    for (const PanelWord& w : kPanelWords) {
        if (std::strncmp(lower.text, w.prefix, std::strlen(w.prefix)) == 0) return w.kind;
    }
    return kPanelOrdinary;
}

} // namespace

std::int32_t classifyPanel(void* frame) {
    for (int i = 0; i < kMaxFramesExamined && frame != nullptr; ++i) {
        const std::int32_t kind = kindOfName(game::frameName(frame));
        if (kind != kPanelOrdinary) return kind;
        frame = game::frameParent(frame);
    }
    return kPanelOrdinary;
}

void describePanel(void* atomic, const game::TrackedVehicle& record, game::PanelState& panel) {
    const plugin::Settings& s = plugin::settings();
    panel.damaged = (game::atomicFlags(atomic) & kVariantMask) == kDamagedVariant;
    panel.shape.crease = dent::variedCrease(record.seed, static_cast<unsigned>(panel.kind),
                                            s.panelCrease, s.panelCreaseRandomness);
    panel.shape.sign = panel.kind == kPanelBonnet ? 1.0f : -1.0f;
}

void setupPanel(void* atomic, void* frame, game::MeshReference& ref,
                const game::TrackedVehicle& record) {
    game::PanelState& panel = ref.panel;
    const std::int32_t kind = classifyPanel(frame);
    if (kind == kPanelOrdinary) return;
    const plugin::Settings& s = plugin::settings();
    panel.kind = kind;
    describePanel(atomic, record, panel);

    void* rebuilt = buildCreaseTopology(ref.copyGeometry, panel);
    if (rebuilt == nullptr) {
        panel = game::PanelState{};
        plugin::logLine("Panel crease unsupported; using ordinary dent for this mesh.");
        return;
    }
    game::guardedGeometryRelease(ref.copyGeometry);
    ref.copyGeometry = rebuilt;
    if (s.logHits) {
        plugin::logFormat(170,
                          "PanelMesh: kind=%s variant=%s sharedLattice=1 sharedVertexBackfaces=1 "
                          "length=%.4f triangles=%d",
                          kind == kPanelBonnet ? "bonnet" : "boot",
                          panel.damaged ? "damaged" : "original",
                          static_cast<double>(panel.shape.length),
                          static_cast<int>(game::triangleCount(rebuilt)));
    }
}

} // namespace mesh
