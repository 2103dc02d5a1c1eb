#include "synthetic_car.h"

#include <algorithm>
#include <cmath>

namespace labtest {
namespace {

void identity(float m[16], float x = 0, float y = 0, float z = 0) {
    for (int i = 0; i < 16; ++i)
        m[i] = 0;
    m[0] = m[5] = m[10] = 1;
    m[12] = x;
    m[13] = y;
    m[14] = z;
}

// A grid of nu x nv quads from `origin` along `u` and `v`, facing `normal`.
void sheet(lab::SnapshotMesh& m, const float o[3], const float u[3], const float v[3],
           const float n[3], int nu, int nv) {
    const auto base = static_cast<std::uint16_t>(m.vertexCount());
    for (int j = 0; j <= nv; ++j)
        for (int i = 0; i <= nu; ++i) {
            const float s = static_cast<float>(i) / nu, t = static_cast<float>(j) / nv;
            for (int k = 0; k < 3; ++k)
                m.positions.push_back(o[k] + u[k] * s + v[k] * t);
            m.normals.insert(m.normals.end(), n, n + 3);
            m.prelit.insert(m.prelit.end(), {128, 128, 128, 255});
            m.uv[0].insert(m.uv[0].end(), {s, t});
        }
    for (int j = 0; j < nv; ++j)
        for (int i = 0; i < nu; ++i) {
            const auto a = static_cast<std::uint16_t>(base + j * (nu + 1) + i);
            const auto b = static_cast<std::uint16_t>(a + 1),
                       c = static_cast<std::uint16_t>(a + nu + 1),
                       d = static_cast<std::uint16_t>(c + 1);
            m.corners.insert(m.corners.end(), {a, b, d, a, d, c});
            m.triangleMaterial.insert(m.triangleMaterial.end(), {0, 0});
        }
}

lab::SnapshotMesh box(const std::string& frame, float cellsPerMetre) {
    lab::SnapshotMesh m;
    m.frame = frame;
    identity(m.toBody);
    m.materialColours = {180, 40, 40, 255};
    m.materialTextures = {"paint"};
    const float lo[3] = {-0.9f, -2.2f, -0.3f}, hi[3] = {0.9f, 2.2f, 0.5f};
    const float X[3] = {hi[0] - lo[0], 0, 0}, Y[3] = {0, hi[1] - lo[1], 0},
                Z[3] = {0, 0, hi[2] - lo[2]};
    const auto n = [&](float len) {
        return std::max(1, static_cast<int>(std::lround(len * cellsPerMetre)));
    };
    const int nx = n(X[0]), ny = n(Y[1]), nz = n(Z[2]);
    const float top[3] = {lo[0], lo[1], hi[2]}, right[3] = {hi[0], lo[1], lo[2]},
                front[3] = {lo[0], hi[1], lo[2]};
    const float up[3] = {0, 0, 1}, down[3] = {0, 0, -1}, l[3] = {-1, 0, 0}, r[3] = {1, 0, 0},
                b[3] = {0, -1, 0}, f[3] = {0, 1, 0};
    sheet(m, top, X, Y, up, nx, ny);
    sheet(m, lo, Y, X, down, ny, nx);
    sheet(m, lo, Z, Y, l, nz, ny);
    sheet(m, right, Y, Z, r, ny, nz);
    sheet(m, lo, X, Z, b, nx, nz);
    sheet(m, front, Z, X, f, nz, nx);
    return m;
}

lab::SnapshotMesh bonnet(const std::string& frame, int columns, int rows) {
    lab::SnapshotMesh m;
    m.frame = frame;
    identity(m.toBody, 0, 1.0f, 0.52f);
    m.materialColours = {180, 40, 40, 255};
    const float o[3] = {-0.8f, 0, 0}, u[3] = {1.6f, 0, 0}, v[3] = {0, 1.2f, 0}, n[3] = {0, 0, 1};
    sheet(m, o, u, v, n, columns, rows);
    return m;
}

} // namespace

lab::SnapshotCar syntheticCar(const std::string& name, float yawDegrees, float x, float y) {
    lab::SnapshotCar car;
    car.name = name;
    const float a = yawDegrees * 3.14159265f / 180.0f, c = std::cos(a), s = std::sin(a);
    const float placement[16] = {c, s, 0, 0, -s, c, 0, 0, 0, 0, 1, 0, x, y, 0, 0};
    std::copy(placement, placement + 16, car.placement);
    car.meshes.push_back(box("chassis_hi", 10.0f));
    car.meshes.push_back(bonnet("bonnet_hi_ok", 16, 12));
    car.meshes.push_back(bonnet("bonnet_hi_dam", 16, 12));
    car.meshes.back().visible = false;
    car.meshes.push_back(box("chassis_vlo", 1.0f));
    return car;
}

lab::Snapshot syntheticSnapshot(const std::string& label, std::vector<lab::SnapshotCar> cars) {
    lab::Snapshot s;
    s.label = label;
    s.cars = std::move(cars);
    return s;
}

lab::SnapshotMesh& meshNamed(lab::SnapshotCar& car, const std::string& frame) {
    for (lab::SnapshotMesh& m : car.meshes)
        if (m.frame == frame) return m;
    return car.meshes.front();
}

int dent(lab::SnapshotMesh& mesh, const float centre[3], float radius, float depth,
         const float normal[3]) {
    int moved = 0;
    for (std::uint32_t v = 0; v < mesh.vertexCount(); ++v) {
        float* p = &mesh.positions[3 * v];
        const float d = std::sqrt((p[0] - centre[0]) * (p[0] - centre[0]) +
                                  (p[1] - centre[1]) * (p[1] - centre[1]) +
                                  (p[2] - centre[2]) * (p[2] - centre[2]));
        if (d >= radius) continue;
        const float amount = depth * (1.0f - d / radius);
        for (int k = 0; k < 3; ++k)
            p[k] -= normal[k] * amount;
        ++moved;
    }
    mesh.drawsSource = false;
    return moved;
}

void rebuildBonnet(lab::SnapshotMesh& m, float lift) {
    lab::SnapshotMesh rebuilt = bonnet(m.frame, 20, 15);
    rebuilt.drawsSource = false;
    // The far part (beyond the crease at 0.6) rises to `lift` at the crease
    // and falls back to its end; its normals tilt with it.
    const float tilt = std::atan2(lift, 0.6f);
    for (std::uint32_t v = 0; v < rebuilt.vertexCount(); ++v) {
        float* p = &rebuilt.positions[3 * v];
        float* n = &rebuilt.normals[3 * v];
        const float y = p[1];
        if (y <= 0.6f) {
            p[2] += lift * y / 0.6f;
            n[1] = -std::sin(tilt);
        } else {
            p[2] += lift * (1.2f - y) / 0.6f;
            n[1] = std::sin(tilt);
        }
        n[2] = std::cos(tilt);
    }
    m = rebuilt;
}

} // namespace labtest
