#include "carfile/car_file.h"
#include "carfile/byte_stream.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace carfile {

namespace {

constexpr char kMagic[8] = {'B', 'W', 'C', 'A', 'R', '0', '0', '2'};
constexpr char kFirstVersion[8] = {'B', 'W', 'C', 'A', 'R', '0', '0', '1'};
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool finite(const std::vector<float>& v) {
    for (float f : v)
        if (!std::isfinite(f)) return false;
    return true;
}

} // namespace

bool validTextureName(const std::string& name) {
    if (name.empty() || name.size() > kMaxTextureName || name[0] == '.') return false;
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            return false;
    return true;
}

std::string checkCar(const Car& car) {
    if (car.frames.size() > kMaxFrames) return "too many frames";
    for (std::size_t i = 0; i < car.frames.size(); ++i) {
        const CarFrame& f = car.frames[i];
        if (f.name.empty() || f.name.size() > kMaxFrameName)
            return "frame name '" + f.name + "' not 1..23 bytes";
        if (f.parent < -1 || f.parent >= static_cast<std::int32_t>(i))
            return "frame '" + f.name + "' before its parent";
        for (float m : f.matrix)
            if (!std::isfinite(m)) return "frame '" + f.name + "' has a non-finite matrix";
    }
    if (car.textures.size() > kMaxTextures) return "too many textures";
    for (std::size_t i = 0; i < car.textures.size(); ++i) {
        const CarTexture& t = car.textures[i];
        if (!validTextureName(t.name))
            return "texture name '" + t.name + "' not 1..31 bytes of a-z A-Z 0-9 . _ -";
        for (std::size_t j = 0; j < i; ++j)
            if (car.textures[j].name == t.name) return "texture name '" + t.name + "' repeated";
        if (t.png.size() < sizeof kPngSignature || t.png.size() > kMaxTextureBytes ||
            std::memcmp(t.png.data(), kPngSignature, sizeof kPngSignature) != 0)
            return "texture '" + t.name + "' is not a PNG image";
    }
    if (car.materials.empty() || car.materials.size() > kMaxMaterials)
        return "material count out of range";
    for (const CarMaterial& m : car.materials)
        if (m.texture != kNoTexture && m.texture >= car.textures.size())
            return "a material names no texture";
    if (car.atomics.size() > kMaxAtomics) return "too many atomics";
    for (const CarAtomic& a : car.atomics) {
        const std::uint32_t n = a.vertexCount();
        if (a.frame >= car.frames.size()) return "an atomic names no frame";
        if (a.texSets < 1 || a.texSets > 2)
            return "an atomic has not 1 or 2 texture coordinate sets";
        if (n < 1 || n > kMaxVertices || a.positions.size() != 3u * n)
            return "an atomic's vertex count is out of range";
        if (a.normals.size() != 3u * n || a.prelit.size() != 4u * n)
            return "an atomic's vertex arrays differ in length";
        for (std::uint32_t s = 0; s < a.texSets; ++s)
            if (a.uv[s].size() != 2u * n) return "an atomic's texture coordinates differ in length";
        if (!finite(a.positions) || !finite(a.normals) || !finite(a.uv[0]) || !finite(a.uv[1]))
            return "an atomic has non-finite vertex data";
        if (a.triangles.empty() || a.triangles.size() > kMaxTriangles)
            return "an atomic's triangle count is out of range";
        for (const CarTriangle& t : a.triangles) {
            if (t.material >= car.materials.size()) return "a triangle names no material";
            for (std::uint16_t v : t.vertex)
                if (v >= n) return "a triangle names no vertex";
        }
    }
    return {};
}

std::vector<std::uint8_t> encodeCar(const Car& car) {
    ByteWriter w;
    w.bytes(kMagic, sizeof kMagic);
    w.u32(static_cast<std::uint32_t>(car.frames.size()));
    for (const CarFrame& f : car.frames) {
        w.u8(static_cast<std::uint8_t>(f.name.size()));
        w.bytes(f.name.data(), f.name.size());
        w.u32(static_cast<std::uint32_t>(f.parent));
        for (float m : f.matrix)
            w.f32(m);
    }
    w.u32(static_cast<std::uint32_t>(car.textures.size()));
    for (const CarTexture& t : car.textures) {
        w.u8(static_cast<std::uint8_t>(t.name.size()));
        w.bytes(t.name.data(), t.name.size());
        w.u32(static_cast<std::uint32_t>(t.png.size()));
        w.bytes(t.png.data(), t.png.size());
    }
    w.u32(static_cast<std::uint32_t>(car.materials.size()));
    for (const CarMaterial& m : car.materials) {
        w.u32(m.colour);
        w.u32(m.texture);
    }
    w.u32(static_cast<std::uint32_t>(car.atomics.size()));
    for (const CarAtomic& a : car.atomics) {
        w.u32(a.frame);
        w.u32(a.flags);
        w.u32(a.texSets);
        w.u32(a.vertexCount());
        w.u32(static_cast<std::uint32_t>(a.triangles.size()));
        for (float f : a.positions)
            w.f32(f);
        for (float f : a.normals)
            w.f32(f);
        w.bytes(a.prelit.data(), a.prelit.size());
        for (std::uint32_t s = 0; s < a.texSets; ++s)
            for (float f : a.uv[s])
                w.f32(f);
        for (const CarTriangle& t : a.triangles) {
            for (std::uint16_t v : t.vertex)
                w.u16(v);
            w.u16(t.material);
        }
    }
    return std::move(w.out);
}

bool decodeCar(const std::vector<std::uint8_t>& bytes, Car& car, std::string& error) {
    car = Car{};
    ByteReader r(bytes);
    char magic[8] = {};
    const bool whole = r.raw(magic, 8);
    if (!whole || std::memcmp(magic, kMagic, 8) != 0) {
        error = whole && std::memcmp(magic, kFirstVersion, 8) == 0
                    ? "a car file of the first version, without textures: convert its mesh "
                      "again with bw_carimport"
                    : "not a car file";
        return false;
    }
    auto fail = [&](const char* what) {
        error = what;
        car = Car{};
        return false;
    };
    std::uint32_t count = 0;
    if (!r.u32(count) || count > kMaxFrames) return fail("frame count out of range");
    car.frames.resize(count);
    for (CarFrame& f : car.frames) {
        std::uint8_t length = 0;
        std::uint32_t parent = 0;
        if (!r.u8(length) || length == 0 || length > kMaxFrameName) return fail("bad frame name");
        f.name.resize(length);
        if (!r.raw(&f.name[0], length) || !r.u32(parent)) return fail("file ends inside a frame");
        f.parent = static_cast<std::int32_t>(parent);
        for (float& m : f.matrix)
            if (!r.f32(m)) return fail("file ends inside a frame");
    }
    if (!r.u32(count) || count > kMaxTextures) return fail("texture count out of range");
    car.textures.resize(count);
    for (CarTexture& t : car.textures) {
        std::uint8_t length = 0;
        std::uint32_t bytes = 0;
        if (!r.u8(length) || length == 0 || length > kMaxTextureName)
            return fail("bad texture name");
        t.name.resize(length);
        if (!r.raw(&t.name[0], length) || !r.u32(bytes)) return fail("file ends inside a texture");
        if (bytes == 0 || bytes > kMaxTextureBytes || !r.has(bytes))
            return fail("texture size out of range");
        t.png.resize(bytes);
        r.raw(t.png.data(), bytes);
    }
    if (!r.u32(count) || count == 0 || count > kMaxMaterials)
        return fail("material count out of range");
    car.materials.resize(count);
    for (CarMaterial& m : car.materials)
        if (!r.u32(m.colour) || !r.u32(m.texture)) return fail("file ends inside the materials");
    if (!r.u32(count) || count > kMaxAtomics) return fail("atomic count out of range");
    car.atomics.resize(count);
    for (CarAtomic& a : car.atomics) {
        std::uint32_t n = 0, t = 0;
        if (!r.u32(a.frame) || !r.u32(a.flags) || !r.u32(a.texSets) || !r.u32(n) || !r.u32(t))
            return fail("file ends inside an atomic");
        if (a.texSets < 1 || a.texSets > 2 || n < 1 || n > kMaxVertices || t < 1 ||
            t > kMaxTriangles)
            return fail("an atomic's counts are out of range");
        if (!r.floats(a.positions, 3ull * n) || !r.floats(a.normals, 3ull * n))
            return fail("file ends inside an atomic");
        a.prelit.resize(4ull * n);
        if (!r.raw(a.prelit.data(), a.prelit.size())) return fail("file ends inside an atomic");
        for (std::uint32_t s = 0; s < a.texSets; ++s)
            if (!r.floats(a.uv[s], 2ull * n)) return fail("file ends inside an atomic");
        if (!r.has(8ull * t)) return fail("file ends inside an atomic");
        a.triangles.resize(t);
        for (CarTriangle& tri : a.triangles) {
            for (std::uint16_t& v : tri.vertex)
                r.u16(v);
            r.u16(tri.material);
        }
    }
    if (!r.atEnd()) return fail("bytes after the last atomic");
    const std::string problem = checkCar(car);
    if (!problem.empty()) {
        error = problem;
        car = Car{};
        return false;
    }
    return true;
}

bool writeCar(const std::string& path, const Car& car, std::string& error) {
    error = checkCar(car);
    if (!error.empty()) return false;
    const std::vector<std::uint8_t> bytes = encodeCar(car);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool readCar(const std::string& path, Car& car, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    if (!decodeCar(bytes, car, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace carfile
