// Stage 3: how far every vertex lies from where it was at rest. A mesh with
// the same vertices as at rest is compared vertex by vertex; a mesh the
// plug-in rebuilt (a creased panel has new vertices) is measured against the
// nearest point of the rest mesh's surface. Distances are in the car's body
// frame, so the car driving off does not count as displacement.

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "dent/vec.h"
#include "lab/report/report.h"

namespace lab {
namespace {

using dent::dot;
using dent::Vec;

std::vector<Vec> bodyPositions(const SnapshotMesh& mesh) {
    std::vector<Vec> out(mesh.vertexCount());
    for (std::size_t i = 0; i < out.size(); ++i) {
        float b[3];
        transformPoint(mesh.toBody, &mesh.positions[3 * i], b);
        out[i] = {b[0], b[1], b[2]};
    }
    return out;
}

// The point of triangle abc nearest to p, by the region of the triangle that p projects into.
Vec nearestOnTriangle(Vec p, Vec a, Vec b, Vec c) {
    const Vec ab = b - a, ac = c - a, ap = p - a;
    const float d1 = dot(ab, ap), d2 = dot(ac, ap);
    if (d1 <= 0 && d2 <= 0) return a;
    const Vec bp = p - b;
    const float d3 = dot(ab, bp), d4 = dot(ac, bp);
    if (d3 >= 0 && d4 <= d3) return b;
    const float vc = d1 * d4 - d3 * d2;
    if (vc <= 0 && d1 >= 0 && d3 <= 0) return a + ab * (d1 / (d1 - d3));
    const Vec cp = p - c;
    const float d5 = dot(ab, cp), d6 = dot(ac, cp);
    if (d6 >= 0 && d5 <= d6) return c;
    const float vb = d5 * d2 - d1 * d6;
    if (vb <= 0 && d2 >= 0 && d6 <= 0) return a + ac * (d2 / (d2 - d6));
    const float va = d3 * d6 - d5 * d4;
    if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0)
        return b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6)));
    const float denom = va + vb + vc;
    if (!(std::fabs(denom) > 0)) return a; // degenerate triangle: its corner will do
    return a + ab * (vb / denom) + ac * (vc / denom);
}

struct Box {
    Vec lo, hi;
    float distanceSquared(Vec p) const {
        const float dx = std::max({lo.x - p.x, 0.0f, p.x - hi.x});
        const float dy = std::max({lo.y - p.y, 0.0f, p.y - hi.y});
        const float dz = std::max({lo.z - p.z, 0.0f, p.z - hi.z});
        return dx * dx + dy * dy + dz * dz;
    }
};

void measureAgainstSurface(const SnapshotMesh& rest, const std::vector<Vec>& moved,
                           MeshDisplacement& out) {
    const std::vector<Vec> r = bodyPositions(rest);
    const std::size_t triangles = rest.triangleCount();
    std::vector<Box> boxes(triangles);
    for (std::size_t t = 0; t < triangles; ++t) {
        const Vec a = r[rest.corners[3 * t]], b = r[rest.corners[3 * t + 1]],
                 c = r[rest.corners[3 * t + 2]];
        boxes[t] = {
            {std::min({a.x, b.x, c.x}), std::min({a.y, b.y, c.y}), std::min({a.z, b.z, c.z})},
            {std::max({a.x, b.x, c.x}), std::max({a.y, b.y, c.y}), std::max({a.z, b.z, c.z})}};
    }
    for (std::size_t i = 0; i < moved.size(); ++i) {
        float best = std::numeric_limits<float>::infinity();
        for (std::size_t t = 0; t < triangles; ++t) {
            if (boxes[t].distanceSquared(moved[i]) >= best) continue;
            const Vec q = nearestOnTriangle(moved[i], r[rest.corners[3 * t]],
                                           r[rest.corners[3 * t + 1]], r[rest.corners[3 * t + 2]]);
            best = std::min(best, dot(moved[i] - q, moved[i] - q));
        }
        out.distance[i] = std::isfinite(best) ? std::sqrt(best) : 0.0f;
    }
}

MeshDisplacement measureMesh(const std::string& car, const SnapshotMesh& mesh,
                             const SnapshotMesh* rest) {
    MeshDisplacement out;
    out.car = car;
    out.frame = mesh.frame;
    out.distance.assign(mesh.vertexCount(), 0.0f);
    if (!rest) return out;
    out.matched = true;
    const std::vector<Vec> moved = bodyPositions(mesh);
    if (rest->vertexCount() == mesh.vertexCount()) {
        out.sameVertices = true;
        const std::vector<Vec> r = bodyPositions(*rest);
        for (std::size_t i = 0; i < moved.size(); ++i)
            out.distance[i] = static_cast<float>(std::sqrt(dot(moved[i] - r[i], moved[i] - r[i])));
    } else if (rest->triangleCount() > 0) {
        measureAgainstSurface(*rest, moved, out);
    }
    for (float& d : out.distance) {
        if (!std::isfinite(d)) d = 0; // a vertex the game could not draw either
        if (d > kDisplacedMetres) ++out.displaced;
        out.largest = std::max(out.largest, d);
    }
    return out;
}

} // namespace

Displacement measureDisplacement(const Snapshot& rest, const Snapshot& after) {
    Displacement out;
    for (const SnapshotCar& car : after.cars) {
        const SnapshotCar* restCar = nullptr;
        for (const SnapshotCar& c : rest.cars)
            if (c.name == car.name) restCar = &c;
        // Meshes pair up by frame name and, where a name repeats (four
        // "wheel" frames), by their order under that name.
        std::map<std::string, int> seen;
        std::vector<MeshDisplacement> meshes;
        for (const SnapshotMesh& mesh : car.meshes) {
            const int nth = seen[mesh.frame]++;
            const SnapshotMesh* match = nullptr;
            if (restCar) {
                int count = 0;
                for (const SnapshotMesh& r : restCar->meshes)
                    if (r.frame == mesh.frame && count++ == nth) {
                        match = &r;
                        break;
                    }
            }
            meshes.push_back(measureMesh(car.name, mesh, match));
            const MeshDisplacement& m = meshes.back();
            if (!drawnUpClose(mesh)) continue;
            out.displacedVertices += m.displaced;
            if (m.displaced > 0) ++out.dentedMeshes;
            if (m.largest > out.largest) {
                out.largest = m.largest;
                out.largestCar = car.name;
                out.largestFrame = mesh.frame;
            }
        }
        out.cars.push_back(std::move(meshes));
    }
    return out;
}

} // namespace lab
