#pragma once

// Recognition of a bonnet or boot lid by its frame names, and the first-touch
// setup that turns its mesh reference into a folding panel.

#include "game/mesh_reference.h"
#include "game/registry.h"

#include <cstdint>

namespace mesh {

constexpr std::int32_t kPanelOrdinary = 0;
constexpr std::int32_t kPanelBonnet = 1;
constexpr std::int32_t kPanelBoot = 2;

// The panel kind of an atomic whose frame is `frame`: the first of the frame
// and up to 23 ancestors whose lower-cased name begins with "bonnet" or
// "hood" (bonnet) or "boot" or "trunk" (boot) decides; 0 when none does.
std::int32_t classifyPanel(void* frame);

// Fills in what a panel of `panel.kind` (not 0) takes from its atomic and
// vehicle: the variant, the crease position and the axis sign.
void describePanel(void* atomic, const game::TrackedVehicle& record, game::PanelState& panel);

// First touch of `atomic`: when its frames name a panel, fills `ref`'s panel
// state and replaces its copy geometry by the rebuilt, foldable panel. A
// panel that cannot be rebuilt is reset to an ordinary mesh (and logged).
// `ref.copyGeometry` is the fresh clone on entry and the geometry to attach
// on return; whichever is dropped is released.
void setupPanel(void* atomic, void* frame, game::MeshReference& ref,
                const game::TrackedVehicle& record);

} // namespace mesh
