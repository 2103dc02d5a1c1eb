#include "carimport/texture.h"

#include <assimp/material.h>
#include <assimp/scene.h>
#include <stb_image.h>
#include <stb_image_write.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace carimport {

namespace {

namespace fs = std::filesystem;

constexpr int kMaxSide = 8192;

void appendBytes(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(context);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

bool encodePixels(const unsigned char* pixels, int width, int height, int channels,
                  std::vector<std::uint8_t>& png, std::string& problem) {
    png.clear();
    if (!stbi_write_png_to_func(appendBytes, &png, width, height, channels, pixels,
                                width * channels) ||
        png.size() > carfile::kMaxTextureBytes) {
        problem = "cannot be written as PNG within " +
                  std::to_string(carfile::kMaxTextureBytes >> 20) + " MiB";
        return false;
    }
    return true;
}

bool readFile(const fs::path& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// A file name the car file accepts: the image's stem with every other byte
// made '_', one not yet taken in `car`.
std::string textureName(const std::string& path, const carfile::Car& car) {
    std::string stem = fs::path(path).stem().string();
    for (char& c : stem)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            c = '_';
    stem.erase(0, stem.find_first_not_of('.'));
    stem.resize(std::min<std::size_t>(stem.size(), carfile::kMaxTextureName - 4));
    if (stem.empty()) stem = "texture";
    auto taken = [&](const std::string& name) {
        return std::any_of(car.textures.begin(), car.textures.end(),
                           [&](const carfile::CarTexture& t) { return t.name == name; });
    };
    std::string name = stem;
    for (int n = 2; taken(name); ++n)
        name = stem + "-" + std::to_string(n);
    return name;
}

} // namespace

bool encodeTexture(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>& png,
                   std::string& problem) {
    int width = 0, height = 0, channels = 0;
    if (file.empty() || file.size() > static_cast<std::size_t>(INT32_MAX) ||
        !stbi_info_from_memory(file.data(), static_cast<int>(file.size()), &width, &height,
                               &channels)) {
        problem = "not an image stb reads";
        return false;
    }
    if (width > kMaxSide || height > kMaxSide) {
        problem = "larger than " + std::to_string(kMaxSide) + " pixels a side";
        return false;
    }
    stbi_uc* pixels = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &width,
                                            &height, &channels, 0);
    if (pixels == nullptr) {
        problem = std::string("cannot be decoded (") + stbi_failure_reason() + ")";
        return false;
    }
    const bool ok = encodePixels(pixels, width, height, channels, png, problem);
    stbi_image_free(pixels);
    return ok;
}

std::uint32_t TextureTable::ofMaterial(unsigned index, carfile::Car& car,
                                       std::vector<std::string>& warnings) {
    if (scene_ == nullptr || index >= scene_->mNumMaterials) return carfile::kNoTexture;
    aiString path;
    if (scene_->mMaterials[index]->GetTexture(aiTextureType_DIFFUSE, 0, &path) != AI_SUCCESS ||
        path.length == 0)
        return carfile::kNoTexture;
    const std::string named = path.C_Str();
    const auto found = byPath_.find(named);
    if (found != byPath_.end()) return found->second;
    return byPath_[named] = add(named, car, warnings);
}

std::uint32_t TextureTable::add(const std::string& named, carfile::Car& car,
                                std::vector<std::string>& warnings) {
    if (car.textures.size() >= carfile::kMaxTextures) {
        warnings.push_back("texture " + named + ": the car has " +
                           std::to_string(carfile::kMaxTextures) + " textures already; left out");
        return carfile::kNoTexture;
    }
    carfile::CarTexture texture;
    std::string problem;
    if (const aiTexture* embedded = scene_->GetEmbeddedTexture(named.c_str())) {
        // Compressed: a whole image file in memory; else BGRA texels.
        bool ok = false;
        if (embedded->mHeight == 0) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(embedded->pcData);
            ok = encodeTexture(std::vector<std::uint8_t>(bytes, bytes + embedded->mWidth),
                               texture.png, problem);
        } else if (embedded->mWidth <= kMaxSide && embedded->mHeight <= kMaxSide) {
            std::vector<unsigned char> rgba;
            rgba.reserve(4ull * embedded->mWidth * embedded->mHeight);
            for (unsigned i = 0; i < embedded->mWidth * embedded->mHeight; ++i) {
                const aiTexel& t = embedded->pcData[i];
                rgba.insert(rgba.end(), {t.r, t.g, t.b, t.a});
            }
            ok = encodePixels(rgba.data(), static_cast<int>(embedded->mWidth),
                              static_cast<int>(embedded->mHeight), 4, texture.png, problem);
        } else {
            problem = "larger than " + std::to_string(kMaxSide) + " pixels a side";
        }
        if (!ok) {
            warnings.push_back("texture " + named + " embedded in " + meshFile_ + ": " + problem +
                               "; left out");
            return carfile::kNoTexture;
        }
        texture.name = textureName(embedded->mFilename.length ? embedded->mFilename.C_Str()
                                                              : fs::path(meshFile_).stem().string(),
                                   car);
    } else {
        std::string relative = named;
        std::replace(relative.begin(), relative.end(), '\\', '/');
        const fs::path file = fs::path(meshFile_).parent_path() / relative;
        fs::path png = file;
        png.replace_extension(".png");
        std::vector<std::uint8_t> bytes;
        std::string why;
        bool ok = false;
        if (!readFile(file, bytes)) {
            why = "cannot find " + file.string();
        } else {
            ok = encodeTexture(bytes, texture.png, problem);
            if (!ok) why = file.string() + ": " + problem;
        }
        if (!ok && png != file) {
            if (!readFile(png, bytes))
                why += ", nor " + png.string();
            else if (!(ok = encodeTexture(bytes, texture.png, problem)))
                why += "; " + png.string() + ": " + problem;
        }
        if (!ok) {
            warnings.push_back("texture " + named + ": " + why +
                               "; its materials draw their colour alone");
            return carfile::kNoTexture;
        }
        texture.name = textureName(named, car);
    }
    car.textures.push_back(std::move(texture));
    return static_cast<std::uint32_t>(car.textures.size() - 1);
}

} // namespace carimport
