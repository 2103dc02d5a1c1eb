#include "lab/snapshot.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace lab {
namespace {

constexpr char kMagic[8] = {'B', 'W', 'S', 'N', 'A', 'P', '0', '1'};

// Little-endian on every build this runs on (x86 and x86-64).
class Writer {
public:
    void bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        out.insert(out.end(), b, b + n);
    }
    void u8(std::uint8_t v) { out.push_back(v); }
    void u32(std::uint32_t v) { bytes(&v, 4); }
    void str(const std::string& s) {
        u32(static_cast<std::uint32_t>(s.size()));
        bytes(s.data(), s.size());
    }
    template <class T> void array(const std::vector<T>& v) { bytes(v.data(), v.size() * sizeof(T)); }
    std::vector<std::uint8_t> out;
};

class Reader {
public:
    Reader(const std::vector<std::uint8_t>& in) : in_(in) {}
    bool bytes(void* p, std::size_t n) {
        if (n > in_.size() - at_) return fail();
        std::memcpy(p, in_.data() + at_, n);
        at_ += n;
        return true;
    }
    bool u8(std::uint8_t& v) { return bytes(&v, 1); }
    bool u32(std::uint32_t& v) { return bytes(&v, 4); }
    bool str(std::string& s) {
        std::uint32_t n = 0;
        if (!u32(n) || n > in_.size() - at_) return fail();
        s.assign(reinterpret_cast<const char*>(in_.data() + at_), n);
        at_ += n;
        return true;
    }
    template <class T> bool array(std::vector<T>& v, std::uint64_t count) {
        if (count * sizeof(T) > in_.size() - at_) return fail();
        v.resize(static_cast<std::size_t>(count));
        return bytes(v.data(), v.size() * sizeof(T));
    }
    bool ok() const { return ok_; }
    bool atEnd() const { return at_ == in_.size(); }

private:
    bool fail() {
        ok_ = false;
        return false;
    }
    const std::vector<std::uint8_t>& in_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

void writeMesh(Writer& w, const SnapshotMesh& m) {
    w.str(m.frame);
    w.bytes(m.toBody, sizeof m.toBody);
    const std::uint8_t uvSets = m.uv[1].empty() ? (m.uv[0].empty() ? 0 : 1) : 2;
    const std::uint8_t flags[8] = {m.drawsSource, m.visible, !m.normals.empty(), !m.prelit.empty(), uvSets, 0, 0, 0};
    w.bytes(flags, sizeof flags);
    w.u32(m.vertexCount());
    w.u32(m.triangleCount());
    w.u32(static_cast<std::uint32_t>(m.materialColours.size() / 4));
    w.array(m.positions);
    w.array(m.normals);
    w.array(m.prelit);
    for (int s = 0; s < uvSets; ++s) w.array(m.uv[s]);
    w.array(m.corners);
    w.array(m.triangleMaterial);
    w.array(m.materialColours);
}

bool readMesh(Reader& r, SnapshotMesh& m, std::string& why) {
    std::uint8_t flags[8];
    std::uint32_t vertices = 0, triangles = 0, materials = 0;
    if (!r.str(m.frame) || !r.bytes(m.toBody, sizeof m.toBody) || !r.bytes(flags, sizeof flags) ||
        !r.u32(vertices) || !r.u32(triangles) || !r.u32(materials))
        return false;
    if (vertices > kMaxSnapshotVertices || triangles > kMaxSnapshotTriangles || materials > 0xFFFF ||
        flags[4] > 2) {
        why = "mesh '" + m.frame + "' is larger than a snapshot allows";
        return false;
    }
    m.drawsSource = flags[0] != 0;
    m.visible = flags[1] != 0;
    if (!r.array(m.positions, 3ull * vertices)) return false;
    if (flags[2] && !r.array(m.normals, 3ull * vertices)) return false;
    if (flags[3] && !r.array(m.prelit, 4ull * vertices)) return false;
    for (int s = 0; s < flags[4]; ++s)
        if (!r.array(m.uv[s], 2ull * vertices)) return false;
    if (!r.array(m.corners, 3ull * triangles) || !r.array(m.triangleMaterial, triangles) ||
        !r.array(m.materialColours, 4ull * materials))
        return false;
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

} // namespace

bool writeSnapshot(const std::string& path, const Snapshot& s, std::string& error) {
    Writer w;
    w.bytes(kMagic, sizeof kMagic);
    w.str(s.label);
    w.u32(s.frame);
    w.u32(static_cast<std::uint32_t>(s.cars.size()));
    for (const SnapshotCar& car : s.cars) {
        w.str(car.name);
        w.bytes(car.placement, sizeof car.placement);
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
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
        if (!f) {
            error = path + ": cannot open the snapshot";
            return false;
        }
        std::uint8_t buffer[65536];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0;)
            in.insert(in.end(), buffer, buffer + n);
    }
    Reader r(in);
    char magic[8];
    std::string why;
    std::uint32_t cars = 0;
    s = Snapshot{};
    bool ok = r.bytes(magic, 8) && std::memcmp(magic, kMagic, 8) == 0 && r.str(s.label) && r.u32(s.frame) &&
              r.u32(cars) && cars <= kMaxSnapshotCars;
    for (std::uint32_t c = 0; ok && c < cars; ++c) {
        SnapshotCar car;
        std::uint32_t meshes = 0;
        ok = r.str(car.name) && r.bytes(car.placement, sizeof car.placement) && r.u32(meshes) &&
             meshes <= kMaxSnapshotMeshes;
        for (std::uint32_t m = 0; ok && m < meshes; ++m) {
            car.meshes.emplace_back();
            ok = readMesh(r, car.meshes.back(), why);
        }
        s.cars.push_back(std::move(car));
    }
    if (ok && !r.atEnd()) why = "bytes after the last car";
    if (!ok || !why.empty()) {
        error = path + ": not a valid snapshot" + (why.empty() ? std::string() : " (" + why + ")");
        s = Snapshot{};
        return false;
    }
    return true;
}

} // namespace lab
