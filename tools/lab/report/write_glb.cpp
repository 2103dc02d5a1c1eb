// Stage 5: each snapshot as binary glTF. Nodes carry the game's names (the
// car, then each atomic's frame), so a modder finds "bonnet_hi_ok" by name.
// The game's z-up body frames sit under one root node that turns them into
// glTF's y-up. The textures the materials draw are embedded as the run's
// PNG files, once each.

#include <algorithm>
#include <cmath>
#include <map>
#include <tiny_gltf.h>

#include "lab/report/report.h"

namespace lab {
namespace {

class ModelBuilder {
  public:
    tinygltf::Model model;

    ModelBuilder() {
        model.asset.version = "2.0";
        model.asset.generator = "bwlab";
        model.buffers.emplace_back();
    }

    // `size` bytes appended to the one buffer, 4-aligned, as a new view;
    // `target` 0 when the view is no vertex or index data.
    int bufferView(const unsigned char* raw, std::size_t size, int target) {
        std::vector<unsigned char>& bytes = model.buffers[0].data;
        while (bytes.size() % 4)
            bytes.push_back(0);
        tinygltf::BufferView view;
        view.buffer = 0;
        view.byteOffset = bytes.size();
        view.byteLength = size;
        view.target = target;
        bytes.insert(bytes.end(), raw, raw + size);
        model.bufferViews.push_back(view);
        return static_cast<int>(model.bufferViews.size()) - 1;
    }

    template <class T>
    int accessor(const std::vector<T>& data, int componentType, int type, int target,
                 bool normalized = false) {
        tinygltf::Accessor a;
        a.bufferView = bufferView(reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size() * sizeof(T), target);
        a.componentType = componentType;
        a.type = type;
        a.normalized = normalized;
        a.count = data.size() / static_cast<std::size_t>(tinygltf::GetNumComponentsInType(type));
        model.accessors.push_back(a);
        return static_cast<int>(model.accessors.size()) - 1;
    }

    // The glTF texture of `t`, its image embedded on first use.
    int texture(const RunTexture& t) {
        auto found = textures_.find(t.name);
        if (found != textures_.end()) return found->second;
        if (model.samplers.empty()) {
            tinygltf::Sampler s;
            s.magFilter = TINYGLTF_TEXTURE_FILTER_LINEAR;
            s.minFilter = TINYGLTF_TEXTURE_FILTER_LINEAR_MIPMAP_LINEAR;
            s.wrapS = s.wrapT = TINYGLTF_TEXTURE_WRAP_REPEAT;
            model.samplers.push_back(s);
        }
        tinygltf::Image image;
        image.name = asUtf8(t.name);
        image.mimeType = "image/png";
        image.bufferView = bufferView(t.png.data(), t.png.size(), 0);
        model.images.push_back(image);
        tinygltf::Texture texture;
        texture.sampler = 0;
        texture.source = static_cast<int>(model.images.size()) - 1;
        model.textures.push_back(texture);
        translucent_.push_back(t.translucent);
        return textures_[t.name] = static_cast<int>(model.textures.size()) - 1;
    }

    // `texture`: a glTF texture index, or -1.
    int material(const std::uint8_t rgba[4], int texture) {
        const std::uint64_t key =
            (rgba[0] | rgba[1] << 8 | rgba[2] << 16 | static_cast<std::uint64_t>(rgba[3]) << 24) |
            static_cast<std::uint64_t>(static_cast<std::uint32_t>(texture)) << 32;
        auto found = materials_.find(key);
        if (found != materials_.end()) return found->second;
        tinygltf::Material m;
        if (texture >= 0) m.pbrMetallicRoughness.baseColorTexture.index = texture;
        // The game's colours are sRGB; glTF's colour factors are linear.
        for (int c = 0; c < 3; ++c)
            m.pbrMetallicRoughness.baseColorFactor[c] = std::pow(rgba[c] / 255.0, 2.2);
        m.pbrMetallicRoughness.baseColorFactor[3] = rgba[3] / 255.0;
        m.pbrMetallicRoughness.metallicFactor = 0.0;
        m.pbrMetallicRoughness.roughnessFactor = 0.6;
        if (rgba[3] < 255 || (texture >= 0 && translucent_[static_cast<std::size_t>(texture)]))
            m.alphaMode = "BLEND";
        m.doubleSided = true;
        model.materials.push_back(m);
        return materials_[key] = static_cast<int>(model.materials.size()) - 1;
    }

  private:
    std::map<std::uint64_t, int> materials_;
    std::map<std::string, int> textures_;
    std::vector<bool> translucent_; // per glTF texture
};

std::vector<double> nodeMatrix(const float host[16]) {
    std::vector<double> m(host, host + 16);
    m[3] = m[7] = m[11] = 0.0;
    m[15] = 1.0;
    return m;
}

// -1 when the mesh has nothing glTF can hold.
int addMesh(ModelBuilder& b, const SnapshotMesh& mesh, const MeshDisplacement* heat,
            const std::vector<RunTexture>& textures) {
    const std::uint32_t n = mesh.vertexCount();
    if (n == 0 || mesh.triangleCount() == 0) return -1;
    tinygltf::Mesh out;
    out.name = asUtf8(mesh.frame);
    std::map<std::string, int> attributes;
    const int position = b.accessor(mesh.positions, TINYGLTF_COMPONENT_TYPE_FLOAT,
                                    TINYGLTF_TYPE_VEC3, TINYGLTF_TARGET_ARRAY_BUFFER);
    tinygltf::Accessor& p = b.model.accessors[position];
    p.minValues = {INFINITY, INFINITY, INFINITY};
    p.maxValues = {-INFINITY, -INFINITY, -INFINITY};
    for (std::uint32_t i = 0; i < n; ++i)
        for (int k = 0; k < 3; ++k) {
            p.minValues[k] = std::min<double>(p.minValues[k], mesh.positions[3 * i + k]);
            p.maxValues[k] = std::max<double>(p.maxValues[k], mesh.positions[3 * i + k]);
        }
    attributes["POSITION"] = position;
    if (!mesh.normals.empty()) {
        // glTF requires unit normals; a normal the game holds as zero or
        // broken has no direction to keep, so it points up.
        std::vector<float> normals(mesh.normals);
        for (std::uint32_t i = 0; i < n; ++i) {
            float* v = &normals[3 * i];
            const float len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
            if (std::isfinite(len) && len > 1e-6f) {
                for (int k = 0; k < 3; ++k)
                    v[k] *= 1.0f / len;
            } else {
                v[0] = v[1] = 0.0f;
                v[2] = 1.0f;
            }
        }
        attributes["NORMAL"] = b.accessor(normals, TINYGLTF_COMPONENT_TYPE_FLOAT,
                                          TINYGLTF_TYPE_VEC3, TINYGLTF_TARGET_ARRAY_BUFFER);
    }
    if (!mesh.prelit.empty())
        attributes["COLOR_0"] = b.accessor(mesh.prelit, TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE,
                                           TINYGLTF_TYPE_VEC4, TINYGLTF_TARGET_ARRAY_BUFFER, true);
    if (heat && heat->distance.size() == n)
        attributes["_HEAT"] = b.accessor(heat->distance, TINYGLTF_COMPONENT_TYPE_FLOAT,
                                         TINYGLTF_TYPE_SCALAR, TINYGLTF_TARGET_ARRAY_BUFFER);

    // A material draws its texture where the mesh has coordinates for it.
    const std::size_t materials = mesh.materialColours.size() / 4;
    std::vector<const RunTexture*> textureOf(materials, nullptr);
    if (mesh.uv[0].size() == 2ull * n)
        for (std::size_t m = 0; m < materials && m < mesh.materialTextures.size(); ++m)
            if (!mesh.materialTextures[m].empty())
                textureOf[m] = findTexture(textures, mesh.materialTextures[m]);
    if (std::any_of(textureOf.begin(), textureOf.end(), [](const RunTexture* t) { return t; }))
        attributes["TEXCOORD_0"] = b.accessor(mesh.uv[0], TINYGLTF_COMPONENT_TYPE_FLOAT,
                                              TINYGLTF_TYPE_VEC2, TINYGLTF_TARGET_ARRAY_BUFFER);

    // One primitive per material, sharing the vertex attributes.
    for (std::size_t m = 0; m < materials; ++m) {
        std::vector<std::uint16_t> indices;
        for (std::uint32_t t = 0; t < mesh.triangleCount(); ++t)
            if (mesh.triangleMaterial[t] == m)
                indices.insert(indices.end(), &mesh.corners[3 * t], &mesh.corners[3 * t] + 3);
        if (indices.empty()) continue;
        tinygltf::Primitive prim;
        prim.attributes = attributes;
        prim.indices = b.accessor(indices, TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT,
                                  TINYGLTF_TYPE_SCALAR, TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER);
        prim.material =
            b.material(&mesh.materialColours[4 * m], textureOf[m] ? b.texture(*textureOf[m]) : -1);
        prim.mode = TINYGLTF_MODE_TRIANGLES;
        out.primitives.push_back(prim);
    }
    if (out.primitives.empty()) return -1;
    b.model.meshes.push_back(out);
    return static_cast<int>(b.model.meshes.size()) - 1;
}

} // namespace

bool writeGlb(const Snapshot& snapshot, const Displacement* heat,
              const std::vector<RunTexture>& textures, const std::string& path,
              std::string& error) {
    ModelBuilder b;
    tinygltf::Node root;
    root.name = "world";
    root.rotation = {-std::sqrt(0.5), 0.0, 0.0, std::sqrt(0.5)}; // z up to y up
    std::vector<int> carNodes;
    for (std::size_t c = 0; c < snapshot.cars.size(); ++c) {
        const SnapshotCar& car = snapshot.cars[c];
        tinygltf::Node carNode;
        carNode.name = asUtf8(car.name);
        carNode.matrix = nodeMatrix(car.placement);
        for (std::size_t m = 0; m < car.meshes.size(); ++m) {
            const SnapshotMesh& mesh = car.meshes[m];
            if (!drawnUpClose(mesh)) continue;
            const MeshDisplacement* h = heat && c < heat->cars.size() && m < heat->cars[c].size()
                                            ? &heat->cars[c][m]
                                            : nullptr;
            tinygltf::Node node;
            node.name = asUtf8(mesh.frame);
            node.matrix = nodeMatrix(mesh.toBody);
            node.mesh = addMesh(b, mesh, h, textures);
            b.model.nodes.push_back(node);
            carNode.children.push_back(static_cast<int>(b.model.nodes.size()) - 1);
        }
        b.model.nodes.push_back(carNode);
        carNodes.push_back(static_cast<int>(b.model.nodes.size()) - 1);
    }
    root.children = carNodes;
    b.model.nodes.push_back(root);
    tinygltf::Scene scene;
    scene.name = asUtf8(snapshot.label);
    scene.nodes = {static_cast<int>(b.model.nodes.size()) - 1};
    b.model.scenes.push_back(scene);
    b.model.defaultScene = 0;
    b.model.buffers[0].uri.clear();

    tinygltf::TinyGLTF writer;
    if (!writer.WriteGltfSceneToFile(&b.model, path, false, true, false, true)) {
        error = path + ": cannot be written";
        return false;
    }
    return true;
}

} // namespace lab
