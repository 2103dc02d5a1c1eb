#include "carimport/import.h"

#include "dent/vec.h"

#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>

namespace carimport {

namespace {

using dent::cross;
using dent::dot;
using Vec = dent::Vec;

Vec unitAxis(int signedAxis) {
    const float s = signedAxis < 0 ? -1.0f : 1.0f;
    const int a = std::abs(signedAxis);
    return {a == 1 ? s : 0.0f, a == 2 ? s : 0.0f, a == 3 ? s : 0.0f};
}

// Source space to the game's: x right, y forward, z up; right = forward x up.
struct Axes {
    Vec right, forward, up;
    Vec operator()(Vec s) const { return {dot(s, right), dot(s, forward), dot(s, up)}; }
};

// One placement of one source mesh, in game axes and metres.
struct Instance {
    const aiMesh* mesh = nullptr;
    std::vector<std::string> names; // its node, the node's ancestors, the mesh
    std::vector<Vec> positions, normals;
    std::vector<std::array<unsigned, 3>> triangles;
    std::vector<int> owner; // per triangle: the map line that took it, or -1
};

void collect(const aiScene* scene, const aiNode* node, const aiMatrix4x4& parent, const Axes& axes,
             float scale, std::vector<std::string>& chain, std::vector<Instance>& out) {
    const aiMatrix4x4 global = parent * node->mTransformation;
    aiMatrix3x3 normalMatrix(global);
    normalMatrix.Inverse().Transpose();
    chain.push_back(node->mName.C_Str());
    for (unsigned i = 0; i < node->mNumMeshes; ++i) {
        const aiMesh* m = scene->mMeshes[node->mMeshes[i]];
        Instance inst;
        inst.mesh = m;
        inst.names = chain;
        inst.names.push_back(m->mName.C_Str());
        for (unsigned v = 0; v < m->mNumVertices; ++v) {
            const aiVector3D p = global * m->mVertices[v];
            const Vec g = axes({p.x, p.y, p.z});
            inst.positions.push_back({g.x * scale, g.y * scale, g.z * scale});
            aiVector3D n = m->HasNormals() ? normalMatrix * m->mNormals[v] : aiVector3D(0, 0, 1);
            const float length = n.Length();
            n = length > 1e-12f && std::isfinite(length) ? n / length : aiVector3D(0, 0, 1);
            inst.normals.push_back(axes({n.x, n.y, n.z}));
        }
        for (unsigned f = 0; f < m->mNumFaces; ++f) {
            const aiFace& face = m->mFaces[f];
            // Points and lines have no surface to dent; only triangles are taken.
            if (face.mNumIndices == 3)
                inst.triangles.push_back({face.mIndices[0], face.mIndices[1], face.mIndices[2]});
        }
        inst.owner.assign(inst.triangles.size(), -1);
        out.push_back(std::move(inst));
    }
    for (unsigned c = 0; c < node->mNumChildren; ++c)
        collect(scene, node->mChildren[c], global, axes, scale, chain, out);
    chain.pop_back();
}

bool named(const Instance& inst, const std::string& source) {
    return source == "*" ||
           std::find(inst.names.begin(), inst.names.end(), source) != inst.names.end();
}

bool inBox(const Box& box, Vec p) {
    const float c[3] = {p.x, p.y, p.z};
    for (int k = 0; k < 3; ++k)
        if (!(c[k] >= box.lo[k] && c[k] <= box.hi[k])) return false;
    return true;
}

std::uint32_t packColour(float r, float g, float b, float a) {
    auto byte = [](float v) {
        return static_cast<std::uint32_t>(
            std::lround(std::clamp(std::isfinite(v) ? v : 0.0f, 0.0f, 1.0f) * 255.0f));
    };
    return byte(r) | byte(g) << 8 | byte(b) << 16 | byte(a) << 24;
}

std::uint32_t materialColour(const aiScene* scene, unsigned index) {
    aiColor4D c(0.7f, 0.7f, 0.7f, 1.0f);
    if (index < scene->mNumMaterials) {
        scene->mMaterials[index]->Get(AI_MATKEY_COLOR_DIFFUSE, c);
        float opacity = 1.0f;
        if (scene->mMaterials[index]->Get(AI_MATKEY_OPACITY, opacity) == AI_SUCCESS) c.a = opacity;
    }
    return packColour(c.r, c.g, c.b, c.a);
}

struct Bounds {
    Vec lo{1e30f, 1e30f, 1e30f}, hi{-1e30f, -1e30f, -1e30f};
    void add(Vec p) {
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
    }
    void add(const Bounds& b) {
        add(b.lo);
        add(b.hi);
    }
    Vec centre() const { return {(lo.x + hi.x) * 0.5f, (lo.y + hi.y) * 0.5f, (lo.z + hi.z) * 0.5f}; }
};

// The atomic that one part or rest line makes of the triangles it took.
bool buildAtomic(const aiScene* scene, std::vector<Instance>& instances, int lineIndex,
                 const PartMap& map, std::map<unsigned, std::uint16_t>& materials, carfile::Car& car,
                 carfile::CarAtomic& atomic, Bounds& bounds, std::string& error) {
    const PartLine& line = map.lines[static_cast<std::size_t>(lineIndex)];
    std::uint32_t sets = 1;
    for (const Instance& inst : instances)
        for (int o : inst.owner)
            if (o == lineIndex) {
                sets = std::max(sets, std::min(2u, inst.mesh->GetNumUVChannels()));
                break;
            }
    atomic.texSets = sets;
    for (Instance& inst : instances) {
        // Shared where the source shares a vertex, split where it splits one.
        std::map<unsigned, std::uint32_t> remap;
        const aiMesh* m = inst.mesh;
        auto found = materials.find(m->mMaterialIndex);
        std::uint16_t material = 0;
        for (std::size_t t = 0; t < inst.triangles.size(); ++t) {
            if (inst.owner[t] != lineIndex) continue;
            if (found == materials.end()) {
                found = materials
                            .emplace(m->mMaterialIndex,
                                     static_cast<std::uint16_t>(car.materials.size()))
                            .first;
                car.materials.push_back(materialColour(scene, m->mMaterialIndex));
            }
            material = found->second;
            carfile::CarTriangle tri{};
            tri.material = material;
            for (int k = 0; k < 3; ++k) {
                const unsigned v = inst.triangles[t][k];
                auto it = remap.find(v);
                if (it == remap.end()) {
                    const std::uint32_t index = atomic.vertexCount();
                    if (index >= carfile::kMaxVertices) {
                        error =
                            mapError(map, line.line,
                                     line.path + " has more than " + std::to_string(carfile::kMaxVertices) +
                                         " vertices, more than a geometry holds");
                        return false;
                    }
                    it = remap.emplace(v, index).first;
                    const Vec p = inst.positions[v], n = inst.normals[v];
                    bounds.add(p);
                    atomic.positions.insert(atomic.positions.end(), {p.x, p.y, p.z});
                    atomic.normals.insert(atomic.normals.end(), {n.x, n.y, n.z});
                    std::uint32_t c = car.materials[material];
                    if (m->HasVertexColors(0)) {
                        const aiColor4D& vc = m->mColors[0][v];
                        c = packColour(vc.r, vc.g, vc.b, vc.a);
                    } else if (map.prelit < 1.0f) {
                        const auto share = [&](int b) {
                            return static_cast<float>((c >> (8 * b)) & 0xFFu) / 255.0f * map.prelit;
                        };
                        c = packColour(share(0), share(1), share(2),
                                       static_cast<float>(c >> 24) / 255.0f);
                    }
                    for (int b = 0; b < 4; ++b)
                        atomic.prelit.push_back(static_cast<std::uint8_t>(c >> (8 * b)));
                    for (std::uint32_t s = 0; s < sets; ++s) {
                        const bool has = m->HasTextureCoords(s) &&
                                         std::isfinite(m->mTextureCoords[s][v].x) &&
                                         std::isfinite(m->mTextureCoords[s][v].y);
                        atomic.uv[s].push_back(has ? m->mTextureCoords[s][v].x : 0.0f);
                        atomic.uv[s].push_back(has ? m->mTextureCoords[s][v].y : 0.0f);
                    }
                }
                tri.vertex[k] = static_cast<std::uint16_t>(it->second);
            }
            atomic.triangles.push_back(tri);
        }
    }
    return true;
}

std::string dummyOf(const std::string& path) {
    const std::size_t slash = path.find('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string atomicName(const std::string& path) {
    return path.substr(path.find('/') + 1);
}

bool endsWith(const std::string& s, const char* tail) {
    const std::size_t n = std::char_traits<char>::length(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

} // namespace

bool importCar(const std::string& meshFile, const PartMap& map, ImportResult& result,
               std::string& error) {
    result = ImportResult{};
    Assimp::Importer importer;
    // Identical vertices are joined (formats such as AC3D hand over one vertex
    // per face corner); vertices that differ in any attribute stay split, so
    // seams and creases keep their real topology.
    importer.SetPropertyFloat(AI_CONFIG_PP_GSN_MAX_SMOOTHING_ANGLE, 60.0f);
    const aiScene* scene = importer.ReadFile(
        meshFile, aiProcess_Triangulate | aiProcess_JoinIdenticalVertices |
                      aiProcess_GenSmoothNormals | aiProcess_SortByPType | aiProcess_FlipUVs);
    if (scene == nullptr || scene->mRootNode == nullptr) {
        error = meshFile + ": " + importer.GetErrorString();
        return false;
    }
    Axes axes;
    axes.forward = unitAxis(map.forward);
    axes.up = unitAxis(map.up);
    axes.right = cross(axes.forward, axes.up);
    std::vector<Instance> instances;
    std::vector<std::string> chain;
    collect(scene, scene->mRootNode, aiMatrix4x4(), axes, map.scale, chain, instances);

    // Which lines take which triangles: first come, first served.
    for (std::size_t li = 0; li < map.lines.size(); ++li) {
        const PartLine& line = map.lines[li];
        if (line.kind == PartLine::Kind::Copy) continue;
        for (const std::string& source : line.sources) {
            bool exists = source == "*";
            for (const Instance& inst : instances)
                exists = exists || named(inst, source);
            if (!exists) {
                error = mapError(map, line.line, "no part named '" + source + "' in " + meshFile);
                return false;
            }
        }
        std::uint32_t taken = 0;
        for (Instance& inst : instances) {
            bool mine = line.kind == PartLine::Kind::Rest;
            for (const std::string& source : line.sources)
                mine = mine || named(inst, source);
            if (!mine) continue;
            for (std::size_t t = 0; t < inst.triangles.size(); ++t) {
                if (inst.owner[t] != -1) continue;
                if (line.hasBox) {
                    const Vec a = inst.positions[inst.triangles[t][0]],
                             b = inst.positions[inst.triangles[t][1]],
                             c = inst.positions[inst.triangles[t][2]];
                    if (!inBox(line.box, {(a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3,
                                          (a.z + b.z + c.z) / 3}))
                        continue;
                }
                inst.owner[t] = static_cast<int>(li);
                ++taken;
            }
        }
        if (taken == 0) {
            error = mapError(
                map, line.line,
                line.hasBox ? "the box catches no triangle of its source parts"
                : line.kind == PartLine::Kind::Rest
                    ? "no triangle is left for " + line.path
                    : "no triangle is left of its source parts: earlier lines took them all");
            return false;
        }
    }
    for (const Instance& inst : instances)
        for (int o : inst.owner)
            result.leftOut += o == -1 ? 1u : 0u;

    // Atomics in map order; a copy repeats the atomic it names.
    carfile::Car& car = result.car;
    std::map<unsigned, std::uint16_t> materials;
    std::vector<Bounds> bounds(map.lines.size());
    std::map<std::string, std::size_t> atomicOfPath;
    for (std::size_t li = 0; li < map.lines.size(); ++li) {
        const PartLine& line = map.lines[li];
        carfile::CarAtomic atomic;
        if (line.kind == PartLine::Kind::Copy) {
            const std::size_t from = atomicOfPath.at(line.sources[0]);
            atomic = car.atomics[from];
            bounds[li] = bounds[from];
        } else if (!buildAtomic(scene, instances, static_cast<int>(li), map, materials, car, atomic,
                                bounds[li], error)) {
            return false;
        }
        atomic.flags = endsWith(atomicName(line.path), "_dam") ? 2u : 1u;
        atomicOfPath[line.path] = car.atomics.size();
        car.atomics.push_back(std::move(atomic));
        result.parts.push_back({line.path, car.atomics.back().vertexCount(),
                                static_cast<std::uint32_t>(car.atomics.back().triangles.size())});
    }

    // Frames: a dummy at the centre of the parts below it, each atomic's own
    // frame at the dummy (or, without one, at its own centre), positions local.
    std::map<std::string, Bounds> dummyBounds;
    for (std::size_t li = 0; li < map.lines.size(); ++li)
        if (!dummyOf(map.lines[li].path).empty())
            dummyBounds[dummyOf(map.lines[li].path)].add(bounds[li]);
    std::map<std::string, std::int32_t> dummyFrame;
    for (std::size_t li = 0; li < map.lines.size(); ++li) {
        const std::string dummy = dummyOf(map.lines[li].path);
        std::int32_t parent = -1;
        Vec at = bounds[li].centre();
        if (!dummy.empty()) {
            at = dummyBounds[dummy].centre();
            auto it = dummyFrame.find(dummy);
            if (it == dummyFrame.end()) {
                carfile::CarFrame f;
                f.name = dummy;
                f.matrix[9] = at.x, f.matrix[10] = at.y, f.matrix[11] = at.z;
                it = dummyFrame.emplace(dummy, static_cast<std::int32_t>(car.frames.size())).first;
                car.frames.push_back(f);
            }
            parent = it->second;
        }
        carfile::CarFrame f;
        f.name = atomicName(map.lines[li].path);
        f.parent = parent;
        if (parent == -1) f.matrix[9] = at.x, f.matrix[10] = at.y, f.matrix[11] = at.z;
        carfile::CarAtomic& atomic = car.atomics[li];
        atomic.frame = static_cast<std::uint32_t>(car.frames.size());
        car.frames.push_back(f);
        for (std::size_t v = 0; v < atomic.positions.size(); v += 3) {
            atomic.positions[v] -= at.x;
            atomic.positions[v + 1] -= at.y;
            atomic.positions[v + 2] -= at.z;
        }
    }
    if (car.materials.empty()) car.materials.push_back(packColour(0.7f, 0.7f, 0.7f, 1.0f));
    const std::string problem = carfile::checkCar(car);
    if (!problem.empty()) {
        error = meshFile + ": " + problem;
        return false;
    }
    return true;
}

} // namespace carimport
