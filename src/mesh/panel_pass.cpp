#include "mesh/panel_pass.h"

#include "dent/displace.h"
#include "dent/fold_profile.h"
#include "dent/panel_lighting.h"
#include "dent/panel_vertices.h"
#include "plugin/log.h"
#include "plugin/settings.h"

#include <algorithm>
#include <vector>

namespace mesh {

namespace {

// Only a push mostly along the panel's length folds it.
constexpr float kMinAlignment = 0.4f;

// The strongest share of the dent that reaches any vertex of the panel.
float reachOf(const std::vector<dent::Vec>& rest, dent::Vec q, float radius, float power) {
    return dent::greatestFalloff(rest.data(), rest.size(), q, radius, power);
}

dent::Vec limited(dent::Vec r, dent::Vec f, float maxTotal) {
    const float distance = dent::length(f - r);
    if (!(distance > maxTotal)) return f;
    const dent::Vec t = (f - r) * maxTotal;
    return r + dent::Vec{t.x / distance, t.y / distance, t.z / distance};
}

} // namespace

std::uint32_t panelPass(game::MeshReference& ref, dent::Vec* positions, dent::Vec* normals,
                        std::size_t count, dent::Vec q, dent::Vec d, HitContext& hit,
                        bool newEpisode, float previousDepth, float previousRadius) {
    const plugin::Settings& s = plugin::settings();
    game::PanelState& panel = ref.panel;
    const dent::PanelShape& shape = panel.shape;

    // The pass works on copies of the panel state and commits them only once
    // nothing can fail any more: a pass that runs out of memory leaves the
    // panel as it was, so a later growth of the episode is not added twice.
    float episodeAmount = newEpisode ? 0.0f : panel.episodeAmount;
    float compression = panel.compression;
    dent::FoldProfile limit{};

    // Only the push that drives the panel towards its start counts.
    const float alignment = std::max(0.0f, -d.y * shape.sign);
    bool folding = false;
    if (alignment > kMinAlignment && hit.depth > s.panelMinDepth) {
        const float reach = reachOf(ref.rest, q, hit.radius, s.falloffPower);
        const float amount = alignment * (hit.depth - s.panelMinDepth) * s.panelStrength * reach;
        // Within one episode only the growth of the strongest push counts.
        const float growth = std::max(0.0f, amount - episodeAmount);
        episodeAmount = std::max(amount, episodeAmount);
        const float target = std::min(compression + growth, s.panelMaxCompression * shape.length);
        limit = dent::limitedFold(shape.length, shape.crease, target, s.panelMaxLift);
        compression = limit.compression;
        folding = true;
    }
    // The fold is a function of the compression alone, shown on every pass.
    const dent::FoldProfile profile = dent::foldFor(shape.length, shape.crease, compression);

    dent::PanelLattice lattice = panel.lattice;
    std::vector<dent::SheetPoint>& sheet = lattice.sheet;
    std::vector<dent::Vec> moved;
    moved.reserve(sheet.size());
    for (dent::SheetPoint& point : sheet) {
        const dent::Vec r = point.rest;
        dent::Vec w = point.current;
        if (!folding) {
            w = dent::displaceImpact(r, w, q, d, hit.depth, hit.radius, previousDepth,
                                     previousRadius, s.maxTotalDisplacement, s.falloffPower);
        } else if (s.panelFollowBody) {
            // Sideways and in height the point follows the body's dent where
            // it lies; along the length, the dent of its column's start edge.
            const dent::Vec r1 =
                dent::displaceImpact(r, r, q, d, hit.depth, hit.radius, previousDepth,
                                     previousRadius, s.maxTotalDisplacement, s.falloffPower);
            const dent::Vec e{r.x, shape.sign * shape.start, r.z};
            const dent::Vec r2 =
                dent::displaceImpact(e, e, q, d, hit.depth, hit.radius, previousDepth,
                                     previousRadius, s.maxTotalDisplacement, s.falloffPower);
            w.x += r1.x - r.x;
            w.z += r1.z - r.z;
            w.y += r2.y - e.y;
        }
        point.current = w;
        moved.push_back(limited(r, dent::foldPoint(r, w, shape, profile), s.maxTotalDisplacement));
    }
    lattice.keepOrdered(moved);
    const dent::PanelLighting lighting(lattice, moved, shape);

    // After the first pass the arrays hold the panel placed on the lattice's
    // last accepted positions: only what changed since then is placed again.
    // Placing allocates, if at all, before it writes.
    const bool relight = normals != nullptr && panel.restNormals.size() >= count;
    const dent::PanelVertexArrays arrays{ref.rest.data(),
                                         relight ? panel.restNormals.data() : nullptr,
                                         panel.sides.data(),
                                         panel.sides.size(),
                                         count,
                                         positions,
                                         relight ? normals : nullptr};
    const std::size_t placed =
        dent::placePanelVertices(lattice, panel.vertexMap, moved,
                                 panel.placed ? &panel.lattice.points : nullptr, lighting, arrays);

    // Nothing below allocates or throws.
    panel.lattice = std::move(lattice);
    panel.compression = compression;
    panel.episodeAmount = episodeAmount;
    panel.placed = true;
    if (folding) {
        ++hit.panels;
        if (s.logHits) {
            plugin::logFormat(
                180,
                "PanelFold: kind=%s variant=%s compression=%.3f lift=%.3f "
                "crease=%.3f vertices=%d",
                panel.kind == 1 ? "bonnet" : "boot", panel.damaged ? "damaged" : "original",
                static_cast<double>(limit.compression), static_cast<double>(limit.lift),
                static_cast<double>(shape.crease), static_cast<int>(count));
        }
    }
    return static_cast<std::uint32_t>(placed + moved.size());
}

} // namespace mesh
