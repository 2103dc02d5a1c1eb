#pragma once

// One atomic's private mesh: the geometry it drew before its first dent
// (held by one counted reference) and the copy it draws now (owned).

namespace game {

struct MeshReference {
    void* sourceGeometry = nullptr; // one count held; put back on the atomic on reset
    void* copyGeometry = nullptr;   // owned; what the atomic draws now

    MeshReference() = default;
    MeshReference(const MeshReference&) = delete;
    MeshReference& operator=(const MeshReference&) = delete;

    // Gives both geometries back to the host, the copy first, through the
    // guarded release (registry.cpp), so that a corrupted record is never
    // handed to the engine's destructor. Null pointers are skipped.
    ~MeshReference();
};

} // namespace game
