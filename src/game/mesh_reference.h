#pragma once

// One atomic's private mesh: the geometry it drew before its first dent
// (held by one counted reference) and the copy it draws now (owned).

#include "dent/vec.h"

#include <cstdint>
#include <vector>

namespace game {

// What makes a mesh a bonnet or boot panel rather than an ordinary mesh.
// kind 0 is an ordinary mesh (the default); panel recognition fills in the
// rest.
struct PanelState {
    std::uint32_t kind = 0;
    std::vector<dent::Vec> restNormals; // the copy's normals when attached; empty: none
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
