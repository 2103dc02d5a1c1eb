#pragma once

// One atomic's private mesh: the geometry it drew before its first dent
// (held by one counted reference) and the copy it draws now (owned).

#include "dent/panel_lattice.h"
#include "dent/vec.h"

#include <cstdint>
#include <vector>

namespace game {

// What makes a mesh a bonnet or boot panel rather than an ordinary mesh.
// kind 0 is an ordinary mesh (the default); panel recognition fills in the
// rest, and assigning a default-constructed state resets it.
struct PanelState {
    std::int32_t kind = 0; // 0 ordinary, 1 bonnet, 2 boot
    bool damaged = false;  // the host's damaged variant of the part
    dent::PanelShape shape{1.0f, 0.0f, 1.0f, 0.5f};
    float compression = 0.0f;           // accumulated fold, world units
    float episodeAmount = 0.0f;         // strongest fold amount asked for in this episode
    std::vector<dent::Vec> restNormals; // the copy's normals when attached; empty: none
    std::vector<std::int32_t> sides;    // crease side of each vertex: 0 near, 1 far
    dent::SpanFold fold = defaultFold();
    dent::PanelLattice lattice;

    static dent::SpanFold defaultFold() {
        dent::SpanFold f{};
        f.columns = 6;
        return f;
    }
};

struct MeshReference {
    void* sourceGeometry = nullptr; // one count held; put back on the atomic on reset
    void* copyGeometry = nullptr;   // owned; what the atomic draws now
    std::vector<dent::Vec> rest;    // the copy's vertex positions when attached
    PanelState panel;
    // The dent last applied: re-applying the same episode moves vertices only
    // by its growth.
    std::uint32_t lastSerial = 0;
    float previousDepth = 0.0f;
    float previousRadius = 0.0f;

    MeshReference() = default;
    MeshReference(const MeshReference&) = delete;
    MeshReference& operator=(const MeshReference&) = delete;

    // Gives both geometries back to the host, the copy first, through the
    // guarded release (registry.cpp), so that a corrupted record is never
    // handed to the engine's destructor. Null pointers are skipped.
    ~MeshReference();
};

} // namespace game
