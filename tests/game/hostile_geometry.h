#pragma once

// Geometry records built by hand in ordinary memory, laid out with the host's
// offsets, so the guards can be fed counts, pointers and owner links that the
// engine would never produce.

#include "game/host_layout.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace guardtest {

inline std::uint32_t addressOf(const void* p) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

// Header large enough for both morph-pointer candidates.
constexpr std::size_t kHeaderBytes = 0x70;

struct GeometryDesc {
    std::int32_t vertices = 4;
    std::int32_t triangles = 2;
    std::int32_t texSets = 1;
    bool normals = true;
    bool prelit = true;
    std::int32_t materials = 2;
    std::uint32_t morphOffset = 0x5C;
};

// Owns every buffer; the header lives in `header` unless placed elsewhere.
class HandGeometry {
public:
    explicit HandGeometry(const GeometryDesc& desc = {}, unsigned char* placeHeader = nullptr)
        : desc_(desc),
          ownHeader_(kHeaderBytes, 0),
          morph_(game::MorphTargetSize, 0),
          positions_(static_cast<std::size_t>(desc.vertices > 0 ? desc.vertices : 0) * 12 + 4),
          normals_(positions_.size()),
          prelit_(static_cast<std::size_t>(desc.vertices > 0 ? desc.vertices : 0) * 4 + 4),
          triangles_(static_cast<std::size_t>(desc.triangles > 0 ? desc.triangles : 0) * 8 + 4),
          materialObjects_(static_cast<std::size_t>(desc.materials > 0 ? desc.materials : 0) * 8 + 8),
          materialTable_(static_cast<std::size_t>(desc.materials > 0 ? desc.materials : 0) + 1) {
        header_ = placeHeader ? placeHeader : ownHeader_.data();
        for (auto& uv : texCoords_) uv.assign(positions_.size(), 0);

        std::uint32_t flags = game::FormatPositions;
        if (desc.normals) flags |= game::FormatNormals;
        if (desc.prelit) flags |= game::FormatPrelit;
        if (desc.texSets == 1) flags |= game::FormatTexCoords1;
        if (desc.texSets > 1) flags |= game::FormatTexCoords2;
        set<std::uint32_t>(game::GeometryFlags, flags);
        set<std::int32_t>(game::GeometryTriangleCount, desc.triangles);
        set<std::int32_t>(game::GeometryVertexCount, desc.vertices);
        set<std::int32_t>(game::GeometryMorphTargetCount, 1);
        set<std::int32_t>(game::GeometryTexCoordSetCount, desc.texSets);
        for (std::int32_t i = 0; i < desc.materials; ++i) {
            // Material objects are 8 bytes apart inside an aligned vector.
            materialTable_[static_cast<std::size_t>(i)] =
                addressOf(materialObjects_.data() + static_cast<std::size_t>(i) * 8);
        }
        setPointer(game::GeometryMaterials, materialTable_.data());
        set<std::int32_t>(game::GeometryMaterialCount, desc.materials);
        set<std::int32_t>(game::GeometryMaterialCapacity, desc.materials);
        setPointer(game::GeometryTriangles, triangles_.data());
        setPointer(game::GeometryPrelit, desc.prelit ? prelit_.data() : nullptr);
        for (std::int32_t s = 0; s < desc.texSets && s < game::GeometryMaxTexCoordSets; ++s) {
            setPointer(game::GeometryTexCoords + 4u * static_cast<std::uint32_t>(s),
                       texCoords_[static_cast<std::size_t>(s)].data());
        }
        setPointer(desc.morphOffset, morph_.data());
        game::setPointerField(morph_.data(), game::MorphParent, header_);
        game::setPointerField(morph_.data(), game::MorphPositions, positions_.data());
        game::setPointerField(morph_.data(), game::MorphNormals,
                              desc.normals ? normals_.data() : nullptr);
    }

    void* record() const { return header_; }
    unsigned char* morph() { return morph_.data(); }
    std::uint32_t* materialTable() { return materialTable_.data(); }

    template <class T>
    void set(std::uint32_t offset, T value) {
        game::setField<T>(header_, offset, value);
    }
    void setPointer(std::uint32_t offset, const void* p) {
        game::setPointerField(header_, offset, p);
    }
    void setMorph(std::uint32_t offset, const void* p) {
        game::setPointerField(morph_.data(), offset, p);
    }

private:
    GeometryDesc desc_;
    std::vector<unsigned char> ownHeader_;
    unsigned char* header_;
    std::vector<unsigned char> morph_;
    std::vector<unsigned char> positions_;
    std::vector<unsigned char> normals_;
    std::vector<unsigned char> prelit_;
    std::vector<unsigned char> triangles_;
    std::vector<std::uint32_t> materialObjects_;
    std::vector<std::uint32_t> materialTable_;
    std::vector<unsigned char> texCoords_[game::GeometryMaxTexCoordSets];
};

} // namespace guardtest
