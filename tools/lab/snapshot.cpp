#include "lab/snapshot.h"

#include "carfile/byte_stream.h"
#include "lab/input_file.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace lab {
namespace {

constexpr char kMagic[8] = {'B', 'W', 'S', 'N', 'A', 'P', '0', '2'};

using carfile::ByteReader;
using carfile::ByteWriter;

void writeString(ByteWriter& w, const std::string& s) {
    w.u32(static_cast<std::uint32_t>(s.size()));
    w.bytes(s.data(), s.size());
}

bool readString(ByteReader& r, std::string& s) {
    std::uint32_t n = 0;
    if (!r.u32(n) || !r.has(n)) return false;
    s.resize(n);
    return n == 0 || r.raw(&s[0], n);
}

void writeFloats(ByteWriter& w, const float* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        w.f32(v[i]);
}

bool readFloats(ByteReader& r, float* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!r.f32(v[i])) return false;
    return true;
}

bool readBytes(ByteReader& r, std::vector<std::uint8_t>& v, std::uint64_t n) {
    if (!r.has(n)) return false;
    v.resize(static_cast<std::size_t>(n));
    return n == 0 || r.raw(v.data(), v.size());
}

void writeMesh(ByteWriter& w, const SnapshotMesh& m) {
    writeString(w, m.frame);
    writeFloats(w, m.toBody, 16);
    const std::uint8_t uvSets = m.uv[1].empty() ? (m.uv[0].empty() ? 0 : 1) : 2;
    const std::uint8_t flags[8] = {m.drawsSource, m.visible, !m.normals.empty(),
                                   !m.prelit.empty(), uvSets, m.hasSurface, 0, 0};
    w.bytes(flags, sizeof flags);
    w.u32(m.vertexCount());
    w.u32(m.triangleCount());
    w.u32(static_cast<std::uint32_t>(m.materialColours.size() / 4));
    writeFloats(w, m.positions.data(), m.positions.size());
    writeFloats(w, m.normals.data(), m.normals.size());
    w.bytes(m.prelit.data(), m.prelit.size());
    for (int s = 0; s < uvSets; ++s)
        writeFloats(w, m.uv[s].data(), m.uv[s].size());
    for (std::uint16_t c : m.corners)
        w.u16(c);
    for (std::uint16_t t : m.triangleMaterial)
        w.u16(t);
    w.bytes(m.materialColours.data(), m.materialColours.size());
    for (std::size_t i = 0; i < m.materialColours.size() / 4; ++i)
        writeString(w, i < m.materialTextures.size() ? m.materialTextures[i] : std::string());
    if (m.hasSurface) writeFloats(w, m.surface, 3);
}

bool readMesh(ByteReader& r, SnapshotMesh& m, std::string& why) {
    std::uint8_t flags[8];
    std::uint32_t vertices = 0, triangles = 0, materials = 0;
    if (!readString(r, m.frame) || !readFloats(r, m.toBody, 16) || !r.raw(flags, sizeof flags) ||
        !r.u32(vertices) || !r.u32(triangles) || !r.u32(materials))
        return false;
    if (vertices > kMaxSnapshotVertices || triangles > kMaxSnapshotTriangles || materials > 0xFFFF ||
        flags[4] > 2) {
        why = "mesh '" + m.frame + "' is larger than a snapshot allows";
        return false;
    }
    m.drawsSource = flags[0] != 0;
    m.visible = flags[1] != 0;
    if (!r.floats(m.positions, 3ull * vertices)) return false;
    if (flags[2] && !r.floats(m.normals, 3ull * vertices)) return false;
    if (flags[3] && !readBytes(r, m.prelit, 4ull * vertices)) return false;
    for (int s = 0; s < flags[4]; ++s)
        if (!r.floats(m.uv[s], 2ull * vertices)) return false;
    if (!r.u16s(m.corners, 3ull * triangles) || !r.u16s(m.triangleMaterial, triangles) ||
        !readBytes(r, m.materialColours, 4ull * materials))
        return false;
    m.materialTextures.resize(materials);
    for (std::string& texture : m.materialTextures) {
        if (!readString(r, texture)) return false;
        if (texture.size() > kMaxTextureName) {
            why = "mesh '" + m.frame + "' names a texture longer than the game's";
            return false;
        }
    }
    m.hasSurface = flags[5] != 0;
    if (m.hasSurface && !readFloats(r, m.surface, 3)) return false;
    for (std::uint16_t c : m.corners)
        if (c >= vertices) {
            why = "mesh '" + m.frame + "' has a triangle corner past its vertices";
            return false;
        }
    for (std::uint16_t t : m.triangleMaterial)
        if (t >= materials) {
            why = "mesh '" + m.frame + "' has a triangle material past its materials";
            return false;
        }
    return true;
}

// The first value that is not finite, as "car 'NAME', mesh 'FRAME', vertex N:
// a position that is not finite"; empty when every value is finite. Such a
// value would make every model and picture of the report wrong.
std::string firstNonFinite(const Snapshot& s) {
    const auto finite = [](const float* v, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            if (!std::isfinite(v[i])) return i;
        return n;
    };
    for (const SnapshotCar& car : s.cars) {
        const std::string where = "car '" + car.name + "'";
        if (finite(car.placement, 16) != 16) return where + ": a placement that is not finite";
        for (const SnapshotMesh& m : car.meshes) {
            const std::string mesh = where + ", mesh '" + m.frame + "'";
            if (finite(m.toBody, 16) != 16) return mesh + ": a matrix that is not finite";
            if (m.hasSurface && finite(m.surface, 3) != 3)
                return mesh + ": surface properties that are not finite";
            const struct {
                const std::vector<float>& values;
                std::size_t perVertex;
                const char* what;
            } arrays[] = {{m.positions, 3, "position"},
                          {m.normals, 3, "normal"},
                          {m.uv[0], 2, "texture coordinate"},
                          {m.uv[1], 2, "second texture coordinate"}};
            for (const auto& a : arrays) {
                const std::size_t at = finite(a.values.data(), a.values.size());
                if (at != a.values.size())
                    return mesh + ", vertex " + std::to_string(at / a.perVertex) + ": a " + a.what +
                           " that is not finite";
            }
        }
    }
    return "";
}

} // namespace

std::uint64_t snapshotFileBytes(const Snapshot& s) {
    std::uint64_t n = sizeof kMagic + 4 + s.label.size() + 4 + 4;
    for (const SnapshotCar& car : s.cars) {
        n += 4 + car.name.size() + 16 * 4 + 4;
        for (const SnapshotMesh& m : car.meshes) {
            n += 4 + m.frame.size() + 16 * 4 + 8 + 3 * 4 +
                 4 * (m.positions.size() + m.normals.size() + m.uv[0].size() + m.uv[1].size()) +
                 m.prelit.size() + 2 * (m.corners.size() + m.triangleMaterial.size()) +
                 m.materialColours.size() + (m.hasSurface ? 3 * 4 : 0);
            const std::size_t materials = m.materialColours.size() / 4;
            for (std::size_t i = 0; i < materials; ++i)
                n += 4 + (i < m.materialTextures.size() ? m.materialTextures[i].size() : 0);
        }
    }
    return n;
}

bool writeSnapshot(const std::string& path, const Snapshot& s, std::string& error) {
    ByteWriter w;
    w.out.reserve(static_cast<std::size_t>(snapshotFileBytes(s)));
    w.bytes(kMagic, sizeof kMagic);
    writeString(w, s.label);
    w.u32(s.frame);
    w.u32(static_cast<std::uint32_t>(s.cars.size()));
    for (const SnapshotCar& car : s.cars) {
        writeString(w, car.name);
        writeFloats(w, car.placement, 16);
        w.u32(static_cast<std::uint32_t>(car.meshes.size()));
        for (const SnapshotMesh& m : car.meshes) writeMesh(w, m);
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!f || std::fwrite(w.out.data(), 1, w.out.size(), f.get()) != w.out.size()) {
        error = path + ": cannot write the snapshot";
        return false;
    }
    if (std::fclose(f.release()) != 0) {
        error = path + ": cannot write the snapshot";
        return false;
    }
    return true;
}

bool readSnapshot(const std::string& path, Snapshot& s, std::string& error) {
    std::vector<std::uint8_t> in;
    bool unreadable = false;
    const std::string problem = readInputFile(path, kMaxSnapshotBytes, in, &unreadable);
    if (!problem.empty()) {
        error = path + (unreadable ? ": cannot open the snapshot"
                                   : ": expected a snapshot; it " + problem);
        return false;
    }
    ByteReader r(in);
    char magic[8];
    std::string why;
    std::uint32_t cars = 0;
    s = Snapshot{};
    bool ok = r.raw(magic, 8) && std::memcmp(magic, kMagic, 8) == 0 && readString(r, s.label) && r.u32(s.frame) &&
              r.u32(cars) && cars <= kMaxSnapshotCars;
    for (std::uint32_t c = 0; ok && c < cars; ++c) {
        SnapshotCar car;
        std::uint32_t meshes = 0;
        ok = readString(r, car.name) && readFloats(r, car.placement, 16) && r.u32(meshes) &&
             meshes <= kMaxSnapshotMeshes;
        for (std::uint32_t m = 0; ok && m < meshes; ++m) {
            car.meshes.emplace_back();
            ok = readMesh(r, car.meshes.back(), why);
        }
        s.cars.push_back(std::move(car));
    }
    if (ok && !r.atEnd()) why = "bytes after the last car";
    if (ok && why.empty()) why = firstNonFinite(s);
    if (!ok || !why.empty()) {
        error = path + ": not a valid snapshot" + (why.empty() ? std::string() : " (" + why + ")");
        s = Snapshot{};
        return false;
    }
    return true;
}

} // namespace lab
