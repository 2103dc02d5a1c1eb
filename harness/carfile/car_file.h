#pragma once

// A car file is a car body ready for the substitute host: the frames as the
// game names vehicle parts, and for each drawable part (atomic) its geometry.
// The native importer writes it from any mesh format; the 32-bit host reads
// it. One format, little-endian, so both builds share this file.
//
// File layout ("*.bwcar"):
//   char[8]  "BWCAR002"
//   u32      frame count
//   per frame (a parent precedes its children; -1: the car's root frame):
//     u8      name length (1..23), then the name bytes
//     i32     parent index
//     f32[12] local matrix: rows right, forward, up, position (x, y, z each)
//   u32      texture count (0..kMaxTextures)
//   per texture:
//     u8      name length (1..31), then the name bytes (a-z A-Z 0-9 . _ -, not
//             starting with '.': the crash lab writes it as a file name)
//     u32     byte count (1..kMaxTextureBytes), then the image as PNG
//   u32      material count (1..kMaxMaterials)
//   per material: u8[4] colour RGBA, u32 texture index (0xFFFFFFFF: none)
//   u32      atomic count
//   per atomic:
//     u32     frame index
//     u32     visibility flags (1: intact variant or only one, 2: damaged)
//     u32     texture coordinate set count (1 or 2)
//     u32     vertex count n (1..kMaxVertices), triangle count t (1..kMaxTriangles)
//     f32[3n] positions (metres; x right, y forward, z up, in the frame)
//     f32[3n] unit normals
//     u8[4n]  prelit colours RGBA
//     f32[2n] per texture coordinate set
//     per triangle: u16[3] vertex indices, u16 material index
// The reader checks every count, index and name against the limits below and
// the bytes left, so a damaged file is refused, never half-built. A file of
// the first version (no textures) is refused with a line that says to convert
// its mesh again.

#include <cstdint>
#include <string>
#include <vector>

namespace carfile {

constexpr std::uint32_t kMaxFrames = 256;
constexpr std::uint32_t kMaxAtomics = 256;
constexpr std::uint32_t kMaxMaterials = 4096;
constexpr std::uint32_t kMaxVertices = 65535; // 16-bit triangle corners
constexpr std::uint32_t kMaxTriangles = 1u << 20;
constexpr std::size_t kMaxFrameName = 23; // the host keeps 24 bytes with the terminator
constexpr std::uint32_t kMaxTextures = 256;
constexpr std::size_t kMaxTextureName = 31; // the host keeps 32 bytes with the terminator
constexpr std::uint32_t kMaxTextureBytes = 32u << 20;
constexpr std::uint32_t kNoTexture = 0xFFFFFFFFu;

struct CarFrame {
    std::string name;
    std::int32_t parent = -1;
    float matrix[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
};

struct CarTriangle {
    std::uint16_t vertex[3];
    std::uint16_t material;
};

struct CarAtomic {
    std::uint32_t frame = 0;
    std::uint32_t flags = 1;
    std::uint32_t texSets = 1;
    std::vector<float> positions;     // 3 per vertex
    std::vector<float> normals;       // 3 per vertex
    std::vector<std::uint8_t> prelit; // 4 per vertex
    std::vector<float> uv[2];         // 2 per vertex, the first texSets used
    std::vector<CarTriangle> triangles;

    std::uint32_t vertexCount() const { return static_cast<std::uint32_t>(positions.size() / 3); }
};

// An image a material draws, as PNG bytes: the 32-bit host passes it on
// without decoding it.
struct CarTexture {
    std::string name;
    std::vector<std::uint8_t> png;
};

struct CarMaterial {
    std::uint32_t colour = 0xFFFFFFFFu; // RGBA, red in the low byte
    std::uint32_t texture = kNoTexture; // index into the car's textures
};

struct Car {
    std::vector<CarFrame> frames;
    std::vector<CarTexture> textures;
    std::vector<CarMaterial> materials;
    std::vector<CarAtomic> atomics;
};

// A name the crash lab can write as a file name: 1..31 bytes of a-z A-Z 0-9
// . _ -, not starting with '.'.
bool validTextureName(const std::string& name);

// Empty when `car` is well formed; else what is wrong with it.
std::string checkCar(const Car& car);

bool writeCar(const std::string& path, const Car& car, std::string& error);
bool readCar(const std::string& path, Car& car, std::string& error);
// The same on bytes in memory.
std::vector<std::uint8_t> encodeCar(const Car& car);
bool decodeCar(const std::vector<std::uint8_t>& bytes, Car& car, std::string& error);

} // namespace carfile
