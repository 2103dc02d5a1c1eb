#pragma once

// One atomic's private mesh: the geometry it drew before its first dent
// (held by one counted reference) and the copy it draws now (owned).

#include "dent/panel_lattice.h"
#include "dent/panel_vertices.h"
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
    dent::PanelVertexMap vertexMap; // each vertex's lattice sample, taken at setup
    bool placed = false;            // a pass has placed every vertex on the lattice

    static dent::SpanFold defaultFold() {
        dent::SpanFold f{};
        f.columns = 6;
        return f;
    }
};

// One dent as the per-atomic driver applies it, in the atomic's own frame:
// kept while the atomic's work waits (a first touch carried to a later frame,
// or a hidden part variant not copied yet) and applied in order later.
struct AtomicDent {
    dent::Vec point;     // the contact, in the atomic's frame
    dent::Vec direction; // the push, in the atomic's frame, not renormalised
    float depth;
    float radius;
    std::uint32_t serial;
    bool reached; // the hit's reach test was made (against the source)
};

// An atomic's first touch that the frame's work budget carried to a later
// frame, with every dent that reached the atomic since.
struct CarriedAtomic {
    std::uint64_t turn; // carried work is done in ascending turn, as it came
    void* atomic;
    void* geometry; // the geometry the atomic drew when carried
    std::vector<AtomicDent> dents;
};

// A part's variant (a door's, a bonnet's) while the game does not draw it:
// it is copied (a panel rebuilt) when it first shows, and its dents are
// replayed then. The vertices its copy will have are held against the
// budgets (counted in the vehicle's total once worked out), so that the
// budgets turn away what they would have turned away had it been copied.
struct HiddenVariant {
    void* atomic;
    void* geometry;     // the geometry the atomic draws
    std::uint64_t turn; // when its count is due among carried work
    bool counted;       // reservedVertices is worked out and in the total
    std::uint32_t reservedVertices;
    std::vector<AtomicDent> dents;
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
