// Drawing a scene off-screen with Mesa (llvmpipe) and writing it as PNG. The
// lighting is done here per corner, the way the game's vertex lighting does
// it: surface colour times (prelit light + one directional light), and the
// texture, where the material has one, times that.

#include <GL/osmesa.h>
#include <algorithm>
#include <cmath>
#include <stb_image_write.h>

#include "lab/report/render.h"

namespace lab {
namespace {

// Pictures are drawn this many times larger and averaged down, so that
// edges and thin creases do not flicker between before and after.
constexpr int kSupersample = 2;
constexpr float kSun = 0.6f;
constexpr float kLampRadius = 0.13f;
// The game places a rear light just inside the body; its sprite is drawn
// this far out along the lens's facing, and hidden by whatever stands in front.
constexpr float kLampOut = 0.15f;

std::vector<float> litColours(const DrawMesh& mesh, const float light[3]) {
    const std::size_t corners = mesh.positions.size() / 3;
    std::vector<float> out(4 * corners);
    for (std::size_t i = 0; i < corners; ++i) {
        const float* n = &mesh.normals[3 * i];
        const float sun =
            kSun * std::max(0.0f, n[0] * light[0] + n[1] * light[1] + n[2] * light[2]);
        for (int c = 0; c < 3; ++c)
            out[4 * i + c] = mesh.surface[4 * i + c] * std::min(1.0f, mesh.prelit[3 * i + c] + sun);
        out[4 * i + 3] = mesh.surface[4 * i + 3];
    }
    return out;
}

void drawMesh(const DrawMesh& mesh, const float light[3], const std::vector<GLuint>& textures) {
    const std::vector<float> colours = litColours(mesh, light);
    const bool textured = mesh.texture >= 0 &&
                          static_cast<std::size_t>(mesh.texture) < textures.size() &&
                          mesh.uv.size() * 3 == mesh.positions.size() * 2;
    if (textured) {
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, textures[static_cast<std::size_t>(mesh.texture)]);
        glEnableClientState(GL_TEXTURE_COORD_ARRAY);
        glTexCoordPointer(2, GL_FLOAT, 0, mesh.uv.data());
    }
    glVertexPointer(3, GL_FLOAT, 0, mesh.positions.data());
    glColorPointer(4, GL_FLOAT, 0, colours.data());
    glDrawArrays(GL_TRIANGLES, 0, static_cast<GLsizei>(mesh.positions.size() / 3));
    if (textured) {
        glDisableClientState(GL_TEXTURE_COORD_ARRAY);
        glDisable(GL_TEXTURE_2D);
    }
}

// The scene's textures in the GL, mipmapped and repeating as the game samples
// them; texture coordinates run from the image's top row.
std::vector<GLuint> uploadTextures(const Scene& scene) {
    std::vector<GLuint> names(scene.textures.size());
    if (names.empty()) return names;
    glGenTextures(static_cast<GLsizei>(names.size()), names.data());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const RunTexture& t = *scene.textures[i];
        glBindTexture(GL_TEXTURE_2D, names[i]);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_GENERATE_MIPMAP, GL_TRUE);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, t.width, t.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     t.rgba.data());
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    return names;
}

// A disc facing the camera at `centre`.
void disc(const Camera& cam, const float centre[3], float radius, const float rgba[4]) {
    glColor4fv(rgba);
    glBegin(GL_TRIANGLE_FAN);
    glVertex3fv(centre);
    for (int i = 0; i <= 24; ++i) {
        const float a = static_cast<float>(i) * 6.2831853f / 24.0f;
        const float c = std::cos(a) * radius, s = std::sin(a) * radius;
        glVertex3f(centre[0] + cam.right[0] * c + cam.up[0] * s,
                   centre[1] + cam.right[1] * c + cam.up[1] * s,
                   centre[2] + cam.right[2] * c + cam.up[2] * s);
    }
    glEnd();
}

// Rear lights are the game's sprites, not meshes: a lit lamp glows red, a
// smashed one is a dark lens in a grey rim with a crack across it. Drawn only where the
// lens faces the camera.
void drawLamp(const Camera& cam, const Lamp& placed) {
    Lamp lamp = placed;
    for (int k = 0; k < 3; ++k)
        lamp.position[k] += lamp.facing[k] * kLampOut;
    const float toEye[3] = {cam.eye[0] - lamp.position[0], cam.eye[1] - lamp.position[1],
                            cam.eye[2] - lamp.position[2]};
    if (toEye[0] * lamp.facing[0] + toEye[1] * lamp.facing[1] + toEye[2] * lamp.facing[2] <= 0)
        return;
    if (!lamp.broken) {
        const float halo[4] = {1.0f, 0.15f, 0.1f, 0.35f}, lens[4] = {1.0f, 0.2f, 0.12f, 1.0f},
                    core[4] = {1.0f, 0.85f, 0.8f, 1.0f};
        disc(cam, lamp.position, kLampRadius * 1.8f, halo);
        disc(cam, lamp.position, kLampRadius, lens);
        disc(cam, lamp.position, kLampRadius * 0.4f, core);
        return;
    }
    const float lens[4] = {0.22f, 0.05f, 0.05f, 1.0f}, crack[4] = {0.85f, 0.85f, 0.85f, 1.0f};
    const float rim[4] = {0.6f, 0.6f, 0.62f, 1.0f};
    disc(cam, lamp.position, kLampRadius * 1.2f, rim);
    disc(cam, lamp.position, kLampRadius, lens);
    glColor4fv(crack);
    glLineWidth(static_cast<float>(kSupersample) * 2.5f);
    glBegin(GL_LINES);
    for (int k = 0; k < 2; ++k) {
        const float sx = k == 0 ? 1.0f : -1.0f, r = kLampRadius * 0.9f;
        for (float s : {-1.0f, 1.0f})
            glVertex3f(lamp.position[0] + s * r * (sx * cam.right[0] + cam.up[0]) * 0.7f,
                       lamp.position[1] + s * r * (sx * cam.right[1] + cam.up[1]) * 0.7f,
                       lamp.position[2] + s * r * (sx * cam.right[2] + cam.up[2]) * 0.7f);
    }
    glEnd();
}

} // namespace

OffscreenRenderer::~OffscreenRenderer() {
    if (context_) OSMesaDestroyContext(static_cast<OSMesaContext>(context_));
}

bool OffscreenRenderer::draw(const Scene& scene, const Camera& camera, Image& image,
                             std::string& error) {
    const int w = camera.width * kSupersample, h = camera.height * kSupersample;
    if (camera.width <= 0 || camera.height <= 0 || w > 8192 || h > 8192) {
        error = "picture size out of range";
        return false;
    }
    if (!context_) context_ = OSMesaCreateContextExt(OSMESA_RGBA, 24, 0, 0, nullptr);
    buffer_.assign(static_cast<std::size_t>(w) * h * 4, 0);
    if (!context_ || !OSMesaMakeCurrent(static_cast<OSMesaContext>(context_), buffer_.data(),
                                        GL_UNSIGNED_BYTE, w, h)) {
        error = "Mesa off-screen rendering is not available";
        return false;
    }
    glViewport(0, 0, w, h);
    glClearColor(0.86f, 0.88f, 0.91f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixf(camera.viewProjection);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glDisable(GL_LIGHTING);
    glDisable(GL_CULL_FACE);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);
    const std::vector<GLuint> textures = uploadTextures(scene);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    for (const DrawMesh& mesh : scene.meshes)
        if (!mesh.translucent) drawMesh(mesh, camera.light, textures);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDepthMask(GL_FALSE);
    for (const DrawMesh& mesh : scene.meshes)
        if (mesh.translucent) drawMesh(mesh, camera.light, textures);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisable(GL_DEPTH_TEST);
    for (const Lamp& lamp : scene.lamps)
        drawLamp(camera, lamp);
    glDepthMask(GL_TRUE);
    glDisable(GL_BLEND);
    if (!textures.empty()) glDeleteTextures(static_cast<GLsizei>(textures.size()), textures.data());
    glFinish();
    if (glGetError() != GL_NO_ERROR) {
        error = "Mesa reported an error while drawing";
        return false;
    }

    // Mesa's rows run bottom to top; the image's top to bottom, averaged down.
    image.width = camera.width;
    image.height = camera.height;
    image.rgba.assign(static_cast<std::size_t>(image.width) * image.height * 4, 0);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            for (int c = 0; c < 4; ++c) {
                int sum = 0;
                for (int sy = 0; sy < kSupersample; ++sy)
                    for (int sx = 0; sx < kSupersample; ++sx) {
                        const int row = h - 1 - (y * kSupersample + sy);
                        sum += buffer_[(static_cast<std::size_t>(row) * w + x * kSupersample + sx) *
                                           4 +
                                       c];
                    }
                image.rgba[(static_cast<std::size_t>(y) * image.width + x) * 4 + c] =
                    static_cast<std::uint8_t>((sum + kSupersample * kSupersample / 2) /
                                              (kSupersample * kSupersample));
            }
    return true;
}

bool writePng(const Image& image, const std::string& path, std::string& error) {
    if (!stbi_write_png(path.c_str(), image.width, image.height, 4, image.rgba.data(),
                        image.width * 4)) {
        error = path + ": cannot be written";
        return false;
    }
    return true;
}

} // namespace lab
