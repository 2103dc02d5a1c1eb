#pragma once

// The images a car's materials draw. Each material's diffuse texture is read
// as stb reads it (PNG, JPEG, TGA, BMP, ...), from the file the mesh names or
// from the mesh itself when the format embeds it, and kept in the car file as
// PNG. An image stb cannot read (SGI .rgb, say) is looked for as the PNG of
// the same name beside it, the form scripts/fetch-real-cars.sh converts the
// test cars' images to. A texture that cannot be had is named in one warning
// and its materials draw their colour alone.

#include "carfile/car_file.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct aiScene;

namespace carimport {

// The bytes of an image file (or of an embedded one) as PNG; false with
// `problem` set when stb cannot read them or the image is too large.
bool encodeTexture(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>& png,
                   std::string& problem);

class TextureTable {
  public:
    TextureTable(const aiScene* scene, std::string meshFile)
        : scene_(scene), meshFile_(std::move(meshFile)) {}

    // The index into `car.textures` of material `index`'s texture (added on
    // first use), or carfile::kNoTexture. Each texture that fails adds one
    // line to `warnings`, once.
    std::uint32_t ofMaterial(unsigned index, carfile::Car& car, std::vector<std::string>& warnings);

  private:
    std::uint32_t add(const std::string& path, carfile::Car& car,
                      std::vector<std::string>& warnings);

    const aiScene* scene_;
    std::string meshFile_;
    std::map<std::string, std::uint32_t> byPath_; // as the mesh names it
};

} // namespace carimport
