#pragma once

// A snapshot is what the game would draw of a set of cars at one moment: for
// every atomic, the geometry it currently draws (the game's own or the
// plug-in's copy), read straight from the host records. The 32-bit scenario
// runner writes snapshots; the report tools (native) read them. One format,
// little-endian, so both builds share this file.
//
// File layout ("*.bwsnap"):
//   char[8]  "BWSNAP02"
//   string   label            (u32 byte count, then the bytes; no terminator)
//   u32      frame            (the scenario frame the snapshot was taken after)
//   u32      car count
//   per car:
//     string  name            ("player", "traffic 3", ...)
//     f32[16] placement       (host matrix: rows right, forward, up, position)
//     u32     mesh count
//     per mesh:
//       string  frame name    (the atomic's frame, as the game names it)
//       f32[16] toBody        (mesh space -> car body frame, host matrix layout)
//       u8      drawsSource   (1: the game's own geometry, 0: a plug-in copy)
//       u8      visible       (1 unless the game hides the atomic)
//       u8      hasNormals, hasPrelit
//       u8      uvSets (0..2), u8 hasSurface, u8[2] reserved (0)
//       u32     vertex count, triangle count, material count
//       f32[3n] positions; f32[3n] normals (if hasNormals);
//       u8[4n]  prelit RGBA (if hasPrelit); f32[2n] per uv set
//       u16[3t] triangle corners; u16[t] triangle material index
//       per material: u8[4] colour RGBA
//       per material: string texture name (0..kMaxTextureName bytes; empty: none)
//       f32[3]  surface ambient, specular, diffuse (if hasSurface)
// Readers check every count against the bytes left and the limits below,
// and refuse a value that is not finite, naming its car, mesh and vertex.

#include <cstdint>
#include <string>
#include <vector>

namespace lab {

constexpr std::uint32_t kMaxSnapshotCars = 1024;
constexpr std::uint32_t kMaxSnapshotMeshes = 256;
constexpr std::uint32_t kMaxSnapshotVertices = 1u << 20;
constexpr std::uint32_t kMaxSnapshotTriangles = 1u << 21;
constexpr std::uint32_t kMaxTextureName = 31; // the game keeps 32 bytes with the terminator
// All snapshots of one run together, so that a small scenario cannot write
// gigabytes (one snapshot of 200 of the finest procedural cars is 370 MB).
constexpr std::uint64_t kMaxSnapshotBytes = 1024ull * 1024 * 1024;

struct SnapshotMesh {
    std::string frame;
    float toBody[16] = {};
    bool drawsSource = true;
    bool visible = true;
    std::vector<float> positions;        // 3 per vertex
    std::vector<float> normals;          // 3 per vertex, or empty
    std::vector<std::uint8_t> prelit;    // 4 per vertex, or empty
    std::vector<float> uv[2];            // 2 per vertex each, or empty
    std::vector<std::uint16_t> corners;  // 3 per triangle
    std::vector<std::uint16_t> triangleMaterial;
    std::vector<std::uint8_t> materialColours; // 4 per material
    std::vector<std::string> materialTextures; // per material: its texture's name, or empty
    // What the game lights the mesh with (ambient, specular, diffuse), where
    // its geometry holds them.
    bool hasSurface = false;
    float surface[3] = {};

    std::uint32_t vertexCount() const { return static_cast<std::uint32_t>(positions.size() / 3); }
    std::uint32_t triangleCount() const { return static_cast<std::uint32_t>(triangleMaterial.size()); }
};

struct SnapshotCar {
    std::string name;
    float placement[16] = {};
    std::vector<SnapshotMesh> meshes;
};

struct Snapshot {
    std::string label;
    std::uint32_t frame = 0;
    std::vector<SnapshotCar> cars;
};

// The size of the snapshot's file, known before it is written.
std::uint64_t snapshotFileBytes(const Snapshot& snapshot);

// False with a message naming the file and what was wrong; nothing is thrown.
bool writeSnapshot(const std::string& path, const Snapshot& snapshot, std::string& error);
bool readSnapshot(const std::string& path, Snapshot& snapshot, std::string& error);

} // namespace lab
