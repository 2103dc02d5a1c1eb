#include "carimport/import.h"

#include "carimport/box_cut.h"
#include "carimport/texture.h"
#include "dent/vec.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
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

// Where the source's units, axes and the map's offset put a point.
struct Placement {
    Axes axes;
    float scale = 1;
    Vec offset{};
};

constexpr int kUnowned = -1;
constexpr int kCutUp = -2; // replaced by its pieces

// One placement of one source mesh, in game axes and metres. Cuts append
// vertices and pieces; a triangle cut up stays in the list, owned by no one.
struct Instance {
    const aiMesh* mesh = nullptr;
    std::vector<std::string> names; // its node, the node's ancestors, the mesh
    std::vector<CutVertex> vertices;
    bool hasColours = false;
    unsigned uvSets = 0; // 0..2
    std::vector<CutTriangle> triangles;
    std::vector<int> owner; // per triangle: the map line that took it, or kUnowned
};

// Every file the importer opens through assimp that is not there: a format
// whose material or other side file is missing reads on without it.
class RecordingIO : public Assimp::DefaultIOSystem {
  public:
    Assimp::IOStream* Open(const char* file, const char* mode) override {
        Assimp::IOStream* stream = DefaultIOSystem::Open(file, mode);
        if (stream == nullptr && file != nullptr &&
            std::find(missing.begin(), missing.end(), file) == missing.end())
            missing.emplace_back(file);
        return stream;
    }
    std::vector<std::string> missing;
};

void collect(const aiScene* scene, const aiNode* node, const aiMatrix4x4& parent,
             const Placement& place, std::vector<std::string>& chain, std::vector<Instance>& out) {
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
        inst.hasColours = m->HasVertexColors(0);
        inst.uvSets = std::min(2u, m->GetNumUVChannels());
        for (unsigned v = 0; v < m->mNumVertices; ++v) {
            CutVertex out;
            const aiVector3D p = global * m->mVertices[v];
            const Vec g = place.axes({p.x, p.y, p.z});
            out.position = {g.x * place.scale + place.offset.x, g.y * place.scale + place.offset.y,
                            g.z * place.scale + place.offset.z};
            aiVector3D n = m->HasNormals() ? normalMatrix * m->mNormals[v] : aiVector3D(0, 0, 1);
            const float length = n.Length();
            n = length > 1e-12f && std::isfinite(length) ? n / length : aiVector3D(0, 0, 1);
            out.normal = place.axes({n.x, n.y, n.z});
            for (unsigned s = 0; s < inst.uvSets; ++s) {
                const aiVector3D& uv = m->mTextureCoords[s][v];
                const bool finite = std::isfinite(uv.x) && std::isfinite(uv.y);
                out.uv[s][0] = finite ? uv.x : 0.0f;
                out.uv[s][1] = finite ? uv.y : 0.0f;
            }
            if (inst.hasColours) {
                const aiColor4D& c = m->mColors[0][v];
                const float rgba[4] = {c.r, c.g, c.b, c.a};
                for (int k = 0; k < 4; ++k)
                    out.colour[k] = std::isfinite(rgba[k]) ? rgba[k] : 0.0f;
            }
            inst.vertices.push_back(out);
        }
        for (unsigned f = 0; f < m->mNumFaces; ++f) {
            const aiFace& face = m->mFaces[f];
            // Points and lines have no surface to dent; only triangles are taken.
            if (face.mNumIndices == 3)
                inst.triangles.push_back({face.mIndices[0], face.mIndices[1], face.mIndices[2]});
        }
        inst.owner.assign(inst.triangles.size(), kUnowned);
        out.push_back(std::move(inst));
    }
    for (unsigned c = 0; c < node->mNumChildren; ++c)
        collect(scene, node->mChildren[c], global, place, chain, out);
    chain.pop_back();
}

bool named(const Instance& inst, const std::string& source) {
    return source == "*" ||
           std::find(inst.names.begin(), inst.names.end(), source) != inst.names.end();
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

// Takes the triangles of `inst` that line `lineIndex` claims: all that are
// left, or with a box what lies in it. Returns how many it took.
std::uint32_t take(Instance& inst, const PartLine& line, int lineIndex) {
    std::uint32_t taken = 0;
    std::optional<BoxCutter> cutter;
    if (line.hasBox && !line.wholeTriangles) cutter.emplace(line.box, inst.vertices);
    // Pieces appended below are already sorted: inside taken, outside left.
    const std::size_t count = inst.triangles.size();
    for (std::size_t t = 0; t < count; ++t) {
        if (inst.owner[t] != kUnowned) continue;
        const CutTriangle tri = inst.triangles[t];
        if (!line.hasBox) {
            inst.owner[t] = lineIndex;
            ++taken;
            continue;
        }
        if (line.wholeTriangles) {
            if (centroidInBox(line.box, inst.vertices[tri[0]].position,
                              inst.vertices[tri[1]].position, inst.vertices[tri[2]].position)) {
                inst.owner[t] = lineIndex;
                ++taken;
            }
            continue;
        }
        const BoxPieces pieces = cutter->cut(tri);
        if (pieces.outside.empty() && pieces.inside.size() == 1 && pieces.inside[0] == tri) {
            inst.owner[t] = lineIndex;
            ++taken;
            continue;
        }
        if (pieces.inside.empty() && pieces.outside.size() == 1 && pieces.outside[0] == tri)
            continue;
        inst.owner[t] = kCutUp;
        for (const CutTriangle& piece : pieces.inside) {
            inst.triangles.push_back(piece);
            inst.owner.push_back(lineIndex);
            ++taken;
        }
        for (const CutTriangle& piece : pieces.outside) {
            inst.triangles.push_back(piece);
            inst.owner.push_back(kUnowned);
        }
    }
    return taken;
}

// The atomic that one part or rest line makes of the triangles it took.
bool buildAtomic(std::vector<Instance>& instances, int lineIndex, const PartMap& map,
                 std::map<unsigned, std::uint16_t>& materials, const aiScene* scene,
                 TextureTable& textures, std::vector<std::string>& warnings, carfile::Car& car,
                 carfile::CarAtomic& atomic, Bounds& bounds, std::string& error) {
    const PartLine& line = map.lines[static_cast<std::size_t>(lineIndex)];
    std::uint32_t sets = 1;
    for (const Instance& inst : instances)
        if (std::find(inst.owner.begin(), inst.owner.end(), lineIndex) != inst.owner.end())
            sets = std::max(sets, inst.uvSets);
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
                car.materials.push_back({materialColour(scene, m->mMaterialIndex),
                                         textures.ofMaterial(m->mMaterialIndex, car, warnings)});
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
                    const CutVertex& source = inst.vertices[v];
                    const Vec p = source.position, n = source.normal;
                    bounds.add(p);
                    atomic.positions.insert(atomic.positions.end(), {p.x, p.y, p.z});
                    atomic.normals.insert(atomic.normals.end(), {n.x, n.y, n.z});
                    std::uint32_t c = car.materials[material].colour;
                    if (inst.hasColours) {
                        c = packColour(source.colour[0], source.colour[1], source.colour[2],
                                       source.colour[3]);
                    } else if (map.prelit < 1.0f) {
                        const auto share = [&](int b) {
                            return static_cast<float>((c >> (8 * b)) & 0xFFu) / 255.0f * map.prelit;
                        };
                        c = packColour(share(0), share(1), share(2),
                                       static_cast<float>(c >> 24) / 255.0f);
                    }
                    for (int b = 0; b < 4; ++b)
                        atomic.prelit.push_back(static_cast<std::uint8_t>(c >> (8 * b)));
                    for (std::uint32_t s = 0; s < sets; ++s)
                        atomic.uv[s].insert(atomic.uv[s].end(), {source.uv[s][0], source.uv[s][1]});
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
    auto* io = new RecordingIO; // the importer owns it
    importer.SetIOHandler(io);
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
    // Assimp also tries names of its own (an OBJ's fallback material
    // library): only the files the mesh names are reported.
    std::string meshText;
    {
        std::ifstream in(meshFile, std::ios::binary);
        meshText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (const std::string& file : io->missing) {
        const std::string name = std::filesystem::path(file).filename().string();
        if (file != meshFile && !name.empty() && meshText.find(name) != std::string::npos)
            result.warnings.push_back("cannot find " + file + ", which " + meshFile + " names");
    }
    Placement place;
    place.axes.forward = unitAxis(map.forward);
    place.axes.up = unitAxis(map.up);
    place.axes.right = cross(place.axes.forward, place.axes.up);
    place.scale = map.scale;
    place.offset = {map.offset[0], map.offset[1], map.offset[2]};
    std::vector<Instance> instances;
    std::vector<std::string> chain;
    collect(scene, scene->mRootNode, aiMatrix4x4(), place, chain, instances);

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
            if (mine) taken += take(inst, line, static_cast<int>(li));
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
            result.leftOut += o == kUnowned ? 1u : 0u;

    // Atomics in map order; a copy repeats the atomic it names.
    carfile::Car& car = result.car;
    std::map<unsigned, std::uint16_t> materials;
    TextureTable textures(scene, meshFile);
    std::vector<Bounds> bounds(map.lines.size());
    std::map<std::string, std::size_t> atomicOfPath;
    for (std::size_t li = 0; li < map.lines.size(); ++li) {
        const PartLine& line = map.lines[li];
        carfile::CarAtomic atomic;
        if (line.kind == PartLine::Kind::Copy) {
            const std::size_t from = atomicOfPath.at(line.sources[0]);
            atomic = car.atomics[from];
            bounds[li] = bounds[from];
        } else if (!buildAtomic(instances, static_cast<int>(li), map, materials, scene, textures,
                                result.warnings, car, atomic, bounds[li], error)) {
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
    if (car.materials.empty()) car.materials.push_back({packColour(0.7f, 0.7f, 0.7f, 1.0f)});
    const std::string problem = carfile::checkCar(car);
    if (!problem.empty()) {
        error = meshFile + ": " + problem;
        return false;
    }
    return true;
}

} // namespace carimport
