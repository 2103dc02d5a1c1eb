#pragma once

// Off-screen drawing of snapshots: what the game draws of each atomic (its
// own normals, prelit colours, material colours and textures), lit by one
// fixed directional light, plus the cars' rear lights. Used by the picture stage
// and by the tests that prove the pictures truthful.

#include <string>
#include <vector>

#include "lab/report/report.h"

namespace lab {

struct View {
    std::string name;
    float direction[3]; // from the car's centre to the eye, in the first car's body frame
};

// Front three-quarter, rear three-quarter, top.
const std::vector<View>& fixedViews();

// The triangles of one atomic that draw one texture (or none), as a
// triangle soup in world space (corners unshared, because a corner's
// material colour belongs to its triangle).
struct DrawMesh {
    std::vector<float> positions, normals; // 9 per triangle
    std::vector<float> surface;            // rgba per corner: material (or heat) colour
    std::vector<float> prelit;             // rgb per corner: the light it carries without the sun
    int texture = -1;                      // index into Scene::textures, or none
    std::vector<float> uv;                 // 2 per corner when textured
    bool translucent = false;
};

struct Lamp {
    float position[3];
    float facing[3]; // the way the lens looks (the car's rear)
    bool broken = false;
};

struct Scene {
    std::vector<DrawMesh> meshes;
    std::vector<Lamp> lamps;
    std::vector<const RunTexture*> textures; // owned by the run
};

// The scene of one snapshot. With `heat`, surfaces are coloured by each
// vertex's displacement over `heatScale` instead of their materials and
// textures. `lightsBroken`: draw the run's broken rear lights as broken.
// `textures`: the images the materials name (a material whose texture is
// not among them, or a mesh without texture coordinates, draws its colour).
Scene buildScene(const Snapshot& snapshot, const std::vector<CarFacts>& cars, bool lightsBroken,
                 const Displacement* heat = nullptr, float heatScale = 1.0f,
                 const std::vector<RunTexture>* textures = nullptr);

// The colour of displacement `fraction` (0 rest .. 1 the scale) in the heat map.
void heatColour(float fraction, float rgb[3]);

struct Camera {
    int width = 0, height = 0;
    float viewProjection[16]; // column-major, clip = M * (x, y, z, 1)
    float eye[3], right[3], up[3];
    float light[3]; // towards the light, world space
};

// A camera that frames `snapshot` (all cars' drawn meshes) from `view`,
// oriented by its first car.
Camera frameCamera(const Snapshot& snapshot, const View& view, int width, int height);

// Pixel (column, row from the top) where `world` is drawn; false behind the eye.
bool projectToPixel(const Camera& camera, const float world[3], float& column, float& row);

class OffscreenRenderer {
  public:
    OffscreenRenderer() = default;
    ~OffscreenRenderer();
    OffscreenRenderer(const OffscreenRenderer&) = delete;
    OffscreenRenderer& operator=(const OffscreenRenderer&) = delete;

    bool draw(const Scene& scene, const Camera& camera, Image& image, std::string& error);

  private:
    void* context_ = nullptr;
    std::vector<unsigned char> buffer_;
};

bool writePng(const Image& image, const std::string& path, std::string& error);

} // namespace lab
