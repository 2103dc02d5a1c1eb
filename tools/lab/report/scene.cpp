// What the pictures show: the snapshot's drawn atomics in world space with
// the game's own surface data, and the camera that frames them.

#include <algorithm>
#include <cmath>
#include <map>

#include "dent/vec.h"
#include "lab/report/render.h"

namespace lab {
namespace {

using dent::cross;
using dent::dot;
using dent::Vec;

Vec unit(Vec a) {
    return dent::normalized(a);
}
Vec row(const float m[16], int r) {
    return {m[4 * r], m[4 * r + 1], m[4 * r + 2]};
}
void store(Vec v, float out[3]) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

// Light a car carries without the sun when its meshes have no prelit colours.
constexpr float kAmbient = 0.3f;
// Heat pictures keep a little shading so the car's shape stays readable.
constexpr float kHeatAmbient = 0.45f;

// The scene's index of the texture material `m` draws, or -1.
int textureOf(const SnapshotMesh& mesh, std::uint16_t m, const std::vector<RunTexture>* textures,
              Scene& scene) {
    if (textures == nullptr || m >= mesh.materialTextures.size() ||
        mesh.materialTextures[m].empty() || mesh.uv[0].size() != 2ull * mesh.vertexCount())
        return -1;
    const RunTexture* t = findTexture(*textures, mesh.materialTextures[m]);
    if (t == nullptr) return -1;
    const auto at = std::find(scene.textures.begin(), scene.textures.end(), t);
    if (at != scene.textures.end()) return static_cast<int>(at - scene.textures.begin());
    scene.textures.push_back(t);
    return static_cast<int>(scene.textures.size()) - 1;
}

// The atomic's triangles, one draw mesh per texture they draw.
void addMeshes(const SnapshotCar& car, const SnapshotMesh& mesh, const MeshDisplacement* heat,
               float heatScale, const std::vector<RunTexture>* textures, Scene& scene) {
    std::map<int, std::size_t> meshOfTexture;
    const std::uint32_t triangles = mesh.triangleCount();
    for (std::uint32_t t = 0; t < triangles; ++t) {
        const std::uint16_t material = mesh.triangleMaterial[t];
        const std::uint8_t* colour = &mesh.materialColours[4 * material];
        const int texture = textureOf(mesh, material, textures, scene);
        auto found = meshOfTexture.find(texture);
        if (found == meshOfTexture.end()) {
            found = meshOfTexture.emplace(texture, scene.meshes.size()).first;
            scene.meshes.emplace_back();
            scene.meshes.back().texture = texture;
            scene.meshes.back().translucent =
                texture >= 0 && scene.textures[static_cast<std::size_t>(texture)]->translucent;
        }
        DrawMesh& out = scene.meshes[found->second];
        if (!heat && colour[3] < 255) out.translucent = true;
        for (int k = 0; k < 3; ++k) {
            const std::uint16_t v = mesh.corners[3 * t + k];
            float body[3], world[3];
            transformPoint(mesh.toBody, &mesh.positions[3 * v], body);
            transformPoint(car.placement, body, world);
            out.positions.insert(out.positions.end(), world, world + 3);
            float n[3] = {0, 0, 0};
            if (!mesh.normals.empty()) {
                transformDirection(mesh.toBody, &mesh.normals[3 * v], body);
                transformDirection(car.placement, body, world);
                store(unit({world[0], world[1], world[2]}), n);
            }
            out.normals.insert(out.normals.end(), n, n + 3);
            if (heat) {
                float rgb[3];
                const float d = v < heat->distance.size() ? heat->distance[v] : 0.0f;
                heatColour(heatScale > 0 ? d / heatScale : 0.0f, rgb);
                out.surface.insert(out.surface.end(), {rgb[0], rgb[1], rgb[2], 1.0f});
                out.prelit.insert(out.prelit.end(), {kHeatAmbient, kHeatAmbient, kHeatAmbient});
                continue;
            }
            for (int c = 0; c < 4; ++c)
                out.surface.push_back(colour[c] / 255.0f);
            for (int c = 0; c < 3; ++c)
                out.prelit.push_back(mesh.prelit.empty() ? kAmbient
                                                         : mesh.prelit[4 * v + c] / 255.0f);
            if (texture >= 0)
                out.uv.insert(out.uv.end(), {mesh.uv[0][2 * v], mesh.uv[0][2 * v + 1]});
        }
    }
}

// Column-major 4x4 product a * b.
void multiply(const float a[16], const float b[16], float out[16]) {
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) {
            float s = 0;
            for (int k = 0; k < 4; ++k)
                s += a[4 * k + r] * b[4 * c + k];
            out[4 * c + r] = s;
        }
}

} // namespace

const std::vector<View>& fixedViews() {
    static const std::vector<View> views = {
        {"front", {0.8f, 1.0f, 0.55f}},  // front right three-quarter
        {"rear", {-0.8f, -1.0f, 0.55f}}, // rear left three-quarter
        {"top", {0.0f, 0.0f, 1.0f}},
    };
    return views;
}

void heatColour(float fraction, float rgb[3]) {
    // Dark blue at rest, through cyan and yellow, to red at the scale.
    static const float stops[5][3] = {{0.16f, 0.20f, 0.42f},
                                      {0.10f, 0.65f, 0.85f},
                                      {0.35f, 0.85f, 0.35f},
                                      {0.98f, 0.85f, 0.15f},
                                      {0.90f, 0.10f, 0.08f}};
    const float f = std::clamp(std::isfinite(fraction) ? fraction : 0.0f, 0.0f, 1.0f) * 4.0f;
    const int i = std::min(3, static_cast<int>(f));
    const float t = f - static_cast<float>(i);
    for (int c = 0; c < 3; ++c)
        rgb[c] = stops[i][c] + (stops[i + 1][c] - stops[i][c]) * t;
}

Scene buildScene(const Snapshot& snapshot, const std::vector<CarFacts>& cars, bool lightsBroken,
                 const Displacement* heat, float heatScale,
                 const std::vector<RunTexture>* textures) {
    Scene scene;
    for (std::size_t c = 0; c < snapshot.cars.size(); ++c) {
        const SnapshotCar& car = snapshot.cars[c];
        for (std::size_t m = 0; m < car.meshes.size(); ++m) {
            if (!drawnUpClose(car.meshes[m])) continue;
            const MeshDisplacement* h = nullptr;
            if (heat && c < heat->cars.size() && m < heat->cars[c].size()) h = &heat->cars[c][m];
            addMeshes(car, car.meshes[m], h, heatScale, heat ? nullptr : textures, scene);
        }
        for (const CarFacts& facts : cars) {
            if (facts.name != car.name) continue;
            // The game's two rear lights mirror one position: light 2 on the left, 3 on the right.
            for (int light = 2; light <= 3; ++light) {
                const float x = std::fabs(facts.rearLight.body[0]) * (light == 2 ? -1.0f : 1.0f);
                const float body[3] = {x, facts.rearLight.body[1], facts.rearLight.body[2]};
                Lamp lamp;
                transformPoint(car.placement, body, lamp.position);
                store(unit(row(car.placement, 1)) * -1.0f, lamp.facing);
                lamp.broken = lightsBroken && std::count(facts.brokenLights.begin(),
                                                         facts.brokenLights.end(), light) > 0;
                scene.lamps.push_back(lamp);
            }
        }
    }
    return scene;
}

Camera frameCamera(const Snapshot& snapshot, const View& view, int width, int height) {
    Camera cam;
    cam.width = width;
    cam.height = height;
    Vec lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
    for (const SnapshotCar& car : snapshot.cars)
        for (const SnapshotMesh& mesh : car.meshes) {
            if (!drawnUpClose(mesh)) continue;
            for (std::uint32_t v = 0; v < mesh.vertexCount(); ++v) {
                float body[3], w[3];
                transformPoint(mesh.toBody, &mesh.positions[3 * v], body);
                transformPoint(car.placement, body, w);
                if (!std::isfinite(w[0]) || !std::isfinite(w[1]) || !std::isfinite(w[2])) continue;
                lo = {std::min(lo.x, w[0]), std::min(lo.y, w[1]), std::min(lo.z, w[2])};
                hi = {std::max(hi.x, w[0]), std::max(hi.y, w[1]), std::max(hi.z, w[2])};
            }
        }
    if (lo.x > hi.x) lo = hi = {0, 0, 0};
    const Vec centre = (lo + hi) * 0.5f;
    const float radius = std::max(0.5f, std::sqrt(dot(hi - lo, hi - lo)) * 0.5f);

    // The first car's axes orient the views; a scene without cars looks along the world's.
    float frame[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    if (!snapshot.cars.empty())
        std::copy(snapshot.cars[0].placement, snapshot.cars[0].placement + 16, frame);
    const Vec right = unit(row(frame, 0)), forward = unit(row(frame, 1)),
             upAxis = unit(row(frame, 2));
    const Vec toEye =
        unit(right * view.direction[0] + forward * view.direction[1] + upAxis * view.direction[2]);
    const float fovY = 30.0f * 3.14159265f / 180.0f;
    const float aspect = static_cast<float>(width) / static_cast<float>(height);

    // Looking straight down, the car's forward points up the picture.
    const Vec upHint = std::fabs(dot(toEye, upAxis)) > 0.99f ? forward : upAxis;
    const Vec back = toEye; // the camera looks along -back
    const Vec camRight = unit(cross(upHint, back));
    const Vec camUp = cross(back, camRight);
    // Back off just far enough that every corner of the box fits, with a margin.
    const float tanY = std::tan(fovY * 0.5f) * 0.92f, tanX = tanY * aspect;
    float distance = 0.1f;
    for (int corner = 0; corner < 8; ++corner) {
        const Vec p =
            Vec{corner & 1 ? hi.x : lo.x, corner & 2 ? hi.y : lo.y, corner & 4 ? hi.z : lo.z} -
            centre;
        const float z = dot(p, back);
        distance = std::max({distance, z + std::fabs(dot(p, camRight)) / tanX,
                             z + std::fabs(dot(p, camUp)) / tanY});
    }
    const Vec eye = centre + toEye * distance;
    const float viewM[16] = {
        camRight.x, camUp.x, back.x, 0, camRight.y,          camUp.y,          back.y,          0,
        camRight.z, camUp.z, back.z, 0, -dot(camRight, eye), -dot(camUp, eye), -dot(back, eye), 1};
    const float nearZ = std::max(0.05f, distance - radius * 1.5f), farZ = distance + radius * 1.5f;
    const float f = 1.0f / std::tan(fovY * 0.5f);
    const float projection[16] = {f / aspect,
                                  0,
                                  0,
                                  0,
                                  0,
                                  f,
                                  0,
                                  0,
                                  0,
                                  0,
                                  (farZ + nearZ) / (nearZ - farZ),
                                  -1,
                                  0,
                                  0,
                                  2 * farZ * nearZ / (nearZ - farZ),
                                  0};
    multiply(projection, viewM, cam.viewProjection);
    store(eye, cam.eye);
    store(camRight, cam.right);
    store(camUp, cam.up);
    // A key light over the viewer's left shoulder, the same for every snapshot.
    store(unit(camRight * -0.5f + camUp * 0.7f + back * 0.6f), cam.light);
    return cam;
}

bool projectToPixel(const Camera& camera, const float world[3], float& column, float& row) {
    const float* m = camera.viewProjection;
    float clip[4];
    for (int r = 0; r < 4; ++r)
        clip[r] = m[r] * world[0] + m[4 + r] * world[1] + m[8 + r] * world[2] + m[12 + r];
    if (!(clip[3] > 0)) return false;
    column = (clip[0] / clip[3] * 0.5f + 0.5f) * static_cast<float>(camera.width);
    row = (0.5f - clip[1] / clip[3] * 0.5f) * static_cast<float>(camera.height);
    return true;
}

} // namespace lab
