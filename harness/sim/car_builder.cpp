// A procedural car: panels and boxes of regular grids with normals, prelit
// colours and one or two texture coordinate sets, under a frame tree with the
// host's part names (a dummy frame per part, the atomics' frames below it).

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "sim/host.h"
#include "sim/sim_state.h"

namespace sim {

namespace {

struct Mesh {
    std::vector<dent::Vec> positions;
    std::vector<dent::Vec> normals;
    std::vector<std::uint32_t> colours;
    std::vector<float> uv; // two floats per vertex
    struct Tri {
        std::uint16_t v[3];
        int material;
    };
    std::vector<Tri> triangles;
};

// A grid of nu x nv quads spanning origin .. origin + u + v, facing `normal`.
void sheet(Mesh& mesh, dent::Vec origin, dent::Vec u, dent::Vec v, dent::Vec normal, int nu, int nv,
           int material) {
    const auto base = static_cast<std::uint16_t>(mesh.positions.size());
    for (int j = 0; j <= nv; ++j) {
        for (int i = 0; i <= nu; ++i) {
            const float s = static_cast<float>(i) / nu, t = static_cast<float>(j) / nv;
            mesh.positions.push_back(origin + u * s + v * t);
            mesh.normals.push_back(normal);
            mesh.colours.push_back(0xFF808080u - static_cast<std::uint32_t>(j % 16));
            mesh.uv.push_back(s);
            mesh.uv.push_back(t);
        }
    }
    const int row = nu + 1;
    for (int j = 0; j < nv; ++j) {
        for (int i = 0; i < nu; ++i) {
            const auto a = static_cast<std::uint16_t>(base + j * row + i);
            const auto b = static_cast<std::uint16_t>(a + 1);
            const auto c = static_cast<std::uint16_t>(a + row);
            const auto d = static_cast<std::uint16_t>(c + 1);
            mesh.triangles.push_back({{a, b, d}, material});
            mesh.triangles.push_back({{a, d, c}, material});
        }
    }
}

// A closed box from lo to hi, n quads per unit of length (at least one).
void box(Mesh& mesh, dent::Vec lo, dent::Vec hi, float density, int material) {
    const dent::Vec size = hi - lo;
    auto n = [&](float len) { return std::max(1, static_cast<int>(std::lround(len * density))); };
    const int nx = n(size.x), ny = n(size.y), nz = n(size.z);
    const dent::Vec X{size.x, 0, 0}, Y{0, size.y, 0}, Z{0, 0, size.z};
    sheet(mesh, {lo.x, lo.y, hi.z}, X, Y, {0, 0, 1}, nx, ny, material);  // top
    sheet(mesh, lo, Y, X, {0, 0, -1}, ny, nx, material);                 // bottom
    sheet(mesh, lo, Z, Y, {-1, 0, 0}, nz, ny, material);                 // left
    sheet(mesh, {hi.x, lo.y, lo.z}, Y, Z, {1, 0, 0}, ny, nz, material);  // right
    sheet(mesh, lo, X, Z, {0, -1, 0}, nx, nz, material);                 // rear
    sheet(mesh, {lo.x, hi.y, lo.z}, Z, X, {0, 1, 0}, nz, nx, material);  // front
}

void* makeGeometry(Host& host, const Mesh& mesh, const std::vector<void*>& materials, int sets) {
    using namespace detail;
    std::uint32_t flags = game::FormatPositions | game::FormatNormals | game::FormatPrelit |
                          game::FormatLight | game::FormatModulateColour;
    flags |= sets >= 2 ? game::FormatTexCoords2 : game::FormatTexCoords1;
    const auto vertices = static_cast<std::int32_t>(mesh.positions.size());
    const auto triangles = static_cast<std::int32_t>(mesh.triangles.size());
    void* raw = host.createGeometry(vertices, triangles,
                                    flags | (static_cast<std::uint32_t>(sets) << game::FormatTexCoordShift));
    GeometryRec* g = findGeometry(raw);
    host.setSurface(raw, VehicleSurface);
    std::memcpy(g->positions, mesh.positions.data(), mesh.positions.size() * 12);
    std::memcpy(g->normals, mesh.normals.data(), mesh.normals.size() * 12);
    std::memcpy(g->prelit, mesh.colours.data(), mesh.colours.size() * 4);
    for (int s = 0; s < sets; ++s) {
        std::vector<float> uv = mesh.uv;
        for (std::size_t i = 0; i < uv.size(); ++i) uv[i] = uv[i] * (1.0f + static_cast<float>(s));
        std::memcpy(g->texCoords[s], uv.data(), uv.size() * 4);
    }
    // Each material enters the table once, in the order triangles first use it.
    std::vector<std::int16_t> tableIndex(materials.size(), -1);
    for (std::int32_t t = 0; t < triangles; ++t) {
        game::Triangle tri{};
        std::memcpy(tri.vertex, mesh.triangles[t].v, sizeof tri.vertex);
        std::int16_t& index = tableIndex[static_cast<std::size_t>(mesh.triangles[t].material)];
        if (index < 0 && !appendMaterial(*g, materials[mesh.triangles[t].material], &index)) index = -1;
        if (index >= 0) tri.material = index;
        std::memcpy(g->triangleArray + 8 * t, &tri, sizeof tri);
    }
    // Bounding sphere: the box's centre and the farthest vertex.
    dent::Vec lo = mesh.positions[0], hi = lo;
    for (const dent::Vec& p : mesh.positions) {
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    }
    const dent::Vec centre = (lo + hi) * 0.5f;
    float radius = 0;
    for (const dent::Vec& p : mesh.positions) radius = std::max(radius, dent::length(p - centre));
    const float sphere[4] = {centre.x, centre.y, centre.z, radius};
    std::memcpy(g->morph + game::MorphBoundingSphere, sphere, sizeof sphere);
    return raw;
}

} // namespace

void Host::buildCar(void* renderObject, const CarOptions& options) {
    if (options.model) {
        buildModel(renderObject, *options.model);
        return;
    }
    void* root = game::renderObjectFrame(renderObject);
    if (!root) return;
    const int sets = std::clamp(options.texCoordSets, 1, 2);
    const float density = 6.0f * static_cast<float>(std::max(1, options.detail));

    std::vector<void*> created;
    void* paint = options.paint;
    if (!paint) created.push_back(paint = createMaterial());
    void* glass = createMaterial();
    void* chrome = createMaterial();
    created.push_back(glass);
    created.push_back(chrome);
    const std::vector<void*> materials = {paint, glass, chrome};
    // Colours as a car's materials carry them: red paint unless the caller
    // brought its own, tinted glass, bright chrome.
    const auto tint = [](void* material, std::uint32_t rgba) {
        game::setField<std::uint32_t>(material, game::MaterialColour, rgba);
    };
    if (!options.paint) tint(paint, 0xFF2828B4u);
    tint(glass, 0xA0B49678u);
    tint(chrome, 0xFFD2D2D2u);

    // One part: a dummy frame at `at`, an atomic frame below it per variant.
    auto part = [&](const char* dummy, const char* name, dent::Vec at, const Mesh& ok, const Mesh* damaged) {
        void* d = createFrame(dummy, root, Matrix::identity(at));
        const std::string base = name;
        const struct {
            const Mesh* mesh;
            const char* suffix;
            std::uint32_t flags;
        } variants[] = {{&ok, damaged ? "_ok" : "", 1u}, {damaged, "_dam", 2u}};
        for (const auto& v : variants) {
            if (!v.mesh) continue;
            void* f = createFrame((base + v.suffix).c_str(), d, Matrix::identity());
            void* g = makeGeometry(*this, *v.mesh, materials, sets);
            addAtomic(renderObject, createAtomic(f, g, v.flags));
            releaseGeometry(g); // the atomic holds it now
        }
    };

    Mesh body;
    box(body, {-0.9f, -2.2f, -0.3f}, {0.9f, 2.2f, 0.5f}, density, 0);
    part("chassis_dummy", "chassis_hi", {0, 0, 0}, body, nullptr);

    const bool dam = options.damagedVariants;
    Mesh bonnet, boot;
    sheet(bonnet, {-0.8f, 0, 0}, {1.6f, 0, 0}, {0, 1.2f, 0}, {0, 0, 1}, static_cast<int>(1.6f * density * 1.5f),
          static_cast<int>(1.2f * density * 1.5f), 0);
    sheet(boot, {-0.8f, -0.8f, 0}, {1.6f, 0, 0}, {0, 0.8f, 0}, {0, 0, 1}, static_cast<int>(1.6f * density * 1.5f),
          static_cast<int>(0.8f * density * 1.5f), 0);
    part("bonnet_dummy", "bonnet_hi", {0, 1.0f, 0.5f}, bonnet, dam ? &bonnet : nullptr);
    part("boot_dummy", "boot_hi", {0, -1.4f, 0.5f}, boot, dam ? &boot : nullptr);

    const struct {
        const char* dummy;
        const char* name;
        float x, y;
    } doors[] = {{"door_lf_dummy", "door_lf_hi", -0.9f, 0.9f},
                 {"door_rf_dummy", "door_rf_hi", 0.9f, 0.9f},
                 {"door_lr_dummy", "door_lr_hi", -0.9f, -0.2f},
                 {"door_rr_dummy", "door_rr_hi", 0.9f, -0.2f}};
    for (const auto& d : doors) {
        Mesh door;
        const float side = d.x < 0 ? -1.0f : 1.0f;
        sheet(door, {0, -1.0f, -0.3f}, {0, 1.0f, 0}, {0, 0, 0.7f}, {side, 0, 0},
              static_cast<int>(density * 1.5f), static_cast<int>(0.7f * density * 1.5f), 0);
        part(d.dummy, d.name, {d.x, d.y, 0}, door, dam ? &door : nullptr);
    }

    Mesh windscreen;
    sheet(windscreen, {-0.75f, 0, 0}, {1.5f, 0, 0}, {0, -0.5f, 0.6f}, {0, 0.77f, 0.64f},
          static_cast<int>(1.5f * density), static_cast<int>(0.8f * density), 1);
    part("windscreen_dummy", "windscreen_hi", {0, 0.9f, 0.5f}, windscreen, dam ? &windscreen : nullptr);

    const struct {
        const char* dummy;
        float x, y;
    } wheels[] = {{"wheel_lf_dummy", -0.85f, 1.4f},
                  {"wheel_rf_dummy", 0.85f, 1.4f},
                  {"wheel_lb_dummy", -0.85f, -1.4f},
                  {"wheel_rb_dummy", 0.85f, -1.4f}};
    Mesh wheel;
    box(wheel, {-0.12f, -0.35f, -0.35f}, {0.12f, 0.35f, 0.35f}, density, 2);
    for (const auto& w : wheels) part(w.dummy, "wheel", {w.x, w.y, -0.3f}, wheel, nullptr);

    Mesh exhaust;
    box(exhaust, {-0.05f, -0.2f, -0.05f}, {0.05f, 0.2f, 0.05f}, density, 2);
    part("exhaust_dummy", "exhaust", {0.5f, -2.3f, -0.25f}, exhaust, nullptr);

    Mesh vlo;
    box(vlo, {-0.9f, -2.2f, -0.3f}, {0.9f, 2.2f, 0.5f}, 1.0f, 0);
    part("chassis_vlo_dummy", "chassis_vlo", {0, 0, 0}, vlo, nullptr);

    for (void* m : created)
        if (m != options.paint) releaseMaterial(m); // the geometries hold them now
}

} // namespace sim
