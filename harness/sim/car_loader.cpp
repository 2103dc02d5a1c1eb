// A car from a car file, built with the host's own construction calls, so
// that its geometries, materials and references are accounted like any other.

#include <algorithm>
#include <cstring>

#include "carfile/car_file.h"
#include "sim/host.h"
#include "sim/sim_state.h"

namespace sim {

namespace {

void* makeGeometry(Host& host, const carfile::CarAtomic& a, const std::vector<void*>& materials) {
    using namespace detail;
    const std::uint32_t flags = game::FormatPositions | game::FormatNormals | game::FormatPrelit |
                                game::FormatLight | game::FormatModulateColour |
                                (a.texSets >= 2 ? game::FormatTexCoords2 : game::FormatTexCoords1) |
                                (a.texSets << game::FormatTexCoordShift);
    const auto vertices = static_cast<std::int32_t>(a.vertexCount());
    const auto triangles = static_cast<std::int32_t>(a.triangles.size());
    void* raw = host.createGeometry(vertices, triangles, flags);
    GeometryRec* g = findGeometry(raw);
    if (!g) return nullptr;
    host.setSurface(raw, VehicleSurface);
    std::memcpy(g->positions, a.positions.data(), a.positions.size() * 4);
    std::memcpy(g->normals, a.normals.data(), a.normals.size() * 4);
    std::memcpy(g->prelit, a.prelit.data(), a.prelit.size());
    for (std::uint32_t s = 0; s < a.texSets; ++s)
        std::memcpy(g->texCoords[s], a.uv[s].data(), a.uv[s].size() * 4);
    for (std::int32_t t = 0; t < triangles; ++t) {
        game::Triangle tri{};
        std::memcpy(tri.vertex, a.triangles[static_cast<std::size_t>(t)].vertex, sizeof tri.vertex);
        appendMaterial(*g, materials[a.triangles[static_cast<std::size_t>(t)].material],
                       &tri.material);
        std::memcpy(g->triangleArray + 8 * t, &tri, sizeof tri);
    }
    // Bounding sphere: the box's centre and the farthest vertex.
    const auto* p = reinterpret_cast<const dent::Vec*>(g->positions);
    dent::Vec lo = p[0], hi = p[0];
    for (std::int32_t i = 0; i < vertices; ++i) {
        lo = {std::min(lo.x, p[i].x), std::min(lo.y, p[i].y), std::min(lo.z, p[i].z)};
        hi = {std::max(hi.x, p[i].x), std::max(hi.y, p[i].y), std::max(hi.z, p[i].z)};
    }
    const dent::Vec centre = (lo + hi) * 0.5f;
    float radius = 0;
    for (std::int32_t i = 0; i < vertices; ++i)
        radius = std::max(radius, dent::length(p[i] - centre));
    const float sphere[4] = {centre.x, centre.y, centre.z, radius};
    std::memcpy(g->morph + game::MorphBoundingSphere, sphere, sizeof sphere);
    return raw;
}

} // namespace

void Host::buildModel(void* renderObject, const carfile::Car& car) {
    void* root = game::renderObjectFrame(renderObject);
    if (!root || !carfile::checkCar(car).empty()) return;
    std::vector<void*> materials;
    for (const carfile::CarMaterial& material : car.materials) {
        void* m = createMaterial();
        game::setField<std::uint32_t>(m, game::MaterialColour, material.colour);
        if (material.texture != carfile::kNoTexture)
            setMaterialTexture(m, car.textures[material.texture].name);
        materials.push_back(m);
    }
    std::vector<void*> frames;
    for (const carfile::CarFrame& f : car.frames) {
        Matrix m = Matrix::identity();
        for (int row = 0; row < 4; ++row)
            for (int c = 0; c < 3; ++c)
                m.m[4 * row + c] = f.matrix[3 * row + c];
        frames.push_back(createFrame(
            f.name.c_str(), f.parent < 0 ? root : frames[static_cast<std::size_t>(f.parent)], m));
    }
    for (const carfile::CarAtomic& a : car.atomics) {
        void* g = makeGeometry(*this, a, materials);
        if (!g) continue;
        addAtomic(renderObject, createAtomic(frames[a.frame], g, a.flags));
        releaseGeometry(g); // the atomic holds it now
    }
    for (void* m : materials)
        releaseMaterial(m); // the geometries hold them now
}

bool loadCar(Host& host, void* renderObject, const std::string& path, std::string& error) {
    carfile::Car car;
    if (!carfile::readCar(path, car, error)) return false;
    if (!game::renderObjectFrame(renderObject)) {
        error = "the render object has no root frame";
        return false;
    }
    CarOptions options;
    options.model = &car;
    host.buildCar(renderObject, options);
    return true;
}

} // namespace sim
