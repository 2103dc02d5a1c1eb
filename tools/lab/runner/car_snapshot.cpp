#include "lab/runner/car_snapshot.h"

#include "game/host_layout.h"

#include <algorithm>
#include <cstring>

namespace lab {
namespace {

// The substitute host keeps the morph-target pointer where the runner's host
// was told to (the default layout).
constexpr std::uint32_t kMorphOffset = sim::morphOffsetOf(sim::HostOptions{}.morphLayout);
constexpr int kMaxFrameDepth = 24;

void identity(float m[16]) {
    std::fill(m, m + 16, 0.0f);
    m[0] = m[5] = m[10] = 1.0f;
}

// `inner` followed by `outer`, both host matrices (row vectors).
void compose(const float inner[16], const float outer[16], float out[16]) {
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) {
            float v = inner[4 * r] * outer[c] + inner[4 * r + 1] * outer[4 + c] +
                      inner[4 * r + 2] * outer[8 + c];
            if (r == 3) v += outer[12 + c];
            out[4 * r + c] = v;
        }
        out[4 * r + 3] = 0.0f;
    }
}

// Mesh space to the body frame: every frame's own matrix from the atomic's
// frame up to, not including, the root (whose matrix is the placement).
void toBody(void* frame, float out[16]) {
    identity(out);
    for (int depth = 0; frame != nullptr && depth < kMaxFrameDepth; ++depth) {
        if (game::frameParent(frame) == nullptr) break;
        float own[16], next[16];
        std::memcpy(own, game::bytesAt(frame, game::FrameModelling), sizeof own);
        compose(out, own, next);
        std::memcpy(out, next, sizeof next);
        frame = game::frameParent(frame);
    }
}

template <class T> void copyArray(std::vector<T>& out, const void* from, std::size_t count) {
    out.resize(count);
    if (count != 0) std::memcpy(out.data(), from, count * sizeof(T));
}

bool readGeometry(void* g, SnapshotMesh& mesh) {
    const std::int32_t n = game::vertexCount(g), t = game::triangleCount(g);
    if (n <= 0 || t < 0 || static_cast<std::uint32_t>(n) > kMaxSnapshotVertices ||
        static_cast<std::uint32_t>(t) > kMaxSnapshotTriangles || n > 65536)
        return false;
    void* morph = game::morphTarget(g, kMorphOffset);
    if (morph == nullptr || game::morphPositions(morph) == nullptr) return false;
    const auto vertices = static_cast<std::size_t>(n);
    copyArray(mesh.positions, game::morphPositions(morph), 3 * vertices);
    if (void* normals = game::morphNormals(morph)) copyArray(mesh.normals, normals, 3 * vertices);
    if (void* prelit = game::prelitColours(g)) copyArray(mesh.prelit, prelit, 4 * vertices);
    const int sets = std::clamp(game::texCoordSetCount(g), 0, 2);
    for (int s = 0; s < sets; ++s)
        if (void* uv = game::texCoords(g, s)) copyArray(mesh.uv[s], uv, 2 * vertices);
    if (sets == 2 && mesh.uv[0].empty()) mesh.uv[1].clear(); // a second set needs the first
    mesh.hasSurface = game::hasSurfaceProperties(kMorphOffset);
    if (mesh.hasSurface) {
        const game::SurfaceProperties s = game::surfaceProperties(g);
        mesh.surface[0] = s.ambient;
        mesh.surface[1] = s.specular;
        mesh.surface[2] = s.diffuse;
    }

    const std::int32_t materials = std::max(0, game::materialCount(g));
    void* table = game::materialTable(g);
    for (std::int32_t m = 0; m < materials && table != nullptr; ++m) {
        void* material = game::pointerField(table, 4u * static_cast<std::uint32_t>(m));
        std::uint8_t rgba[4] = {255, 255, 255, 255};
        std::string texture;
        if (material != nullptr) {
            std::memcpy(rgba, game::bytesAt(material, game::MaterialColour), 4);
            if (void* t = game::pointerField(material, game::MaterialTexture)) {
                const char* name =
                    reinterpret_cast<const char*>(game::bytesAt(t, game::TextureName));
                texture.assign(name, strnlen(name, game::TextureNameSize - 1));
            }
        }
        mesh.materialColours.insert(mesh.materialColours.end(), rgba, rgba + 4);
        mesh.materialTextures.push_back(texture);
    }

    const void* triangles = game::triangles(g);
    if (triangles == nullptr && t > 0) return false;
    for (std::int32_t i = 0; i < t; ++i) {
        game::Triangle tri;
        std::memcpy(&tri,
                    game::bytesAt(const_cast<void*>(triangles), 8u * static_cast<std::uint32_t>(i)),
                    sizeof tri);
        // A corner or material out of range would make the picture lie:
        // such a triangle is left out.
        if (tri.vertex[0] >= n || tri.vertex[1] >= n || tri.vertex[2] >= n) continue;
        if (tri.material < 0 || tri.material >= materials) continue;
        mesh.corners.insert(mesh.corners.end(), tri.vertex, tri.vertex + 3);
        mesh.triangleMaterial.push_back(static_cast<std::uint16_t>(tri.material));
    }
    return true;
}

} // namespace

std::string frameName(const void* frame) {
    if (frame == nullptr) return "";
    const char* text = reinterpret_cast<const char*>(game::bytesAt(frame, sim::FrameNameField));
    std::size_t n = 0;
    while (n < sim::FrameNameSize && text[n] != '\0')
        ++n;
    return std::string(text, n);
}

float highestBodyZ(void* atomic, void* geometry) {
    SnapshotMesh mesh;
    if (geometry == nullptr || !readGeometry(geometry, mesh)) return 0.0f;
    float m[16];
    toBody(game::atomicFrame(atomic), m);
    float top = -1.0e30f;
    for (std::size_t i = 0; i + 2 < mesh.positions.size(); i += 3) {
        const float* p = &mesh.positions[i];
        top = std::max(top, p[0] * m[2] + p[1] * m[6] + p[2] * m[10] + m[14]);
    }
    return mesh.positions.empty() ? 0.0f : top;
}

SnapshotCar readCar(sim::Host& host, const std::string& name, void* vehicle,
                    const std::map<void*, void*>& sources) {
    SnapshotCar car;
    car.name = name;
    std::memcpy(car.placement, game::bytesAt(vehicle, game::EntityMatrix), sizeof car.placement);
    for (int r = 0; r < 4; ++r)
        car.placement[4 * r + 3] = 0.0f;
    void* ro = game::renderObject(vehicle);
    if (ro == nullptr) return car;
    for (void* atomic : host.atomicsOf(ro)) {
        if (car.meshes.size() >= kMaxSnapshotMeshes) break;
        void* geometry = game::atomicGeometry(atomic);
        if (geometry == nullptr) continue;
        SnapshotMesh mesh;
        void* frame = game::atomicFrame(atomic);
        mesh.frame = frameName(frame);
        toBody(frame, mesh.toBody);
        const auto source = sources.find(atomic);
        mesh.drawsSource = source != sources.end() && source->second == geometry;
        // The game draws the atomics it marks for drawing (a part's damaged
        // variant only once its damage shows it), and the low-detail body
        // only from afar.
        mesh.visible = game::atomicRendered(atomic) && mesh.frame.find("_vlo") == std::string::npos;
        if (readGeometry(geometry, mesh)) car.meshes.push_back(std::move(mesh));
    }
    return car;
}

} // namespace lab
