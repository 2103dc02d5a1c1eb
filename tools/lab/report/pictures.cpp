// Stage 4: the pictures. Every snapshot from the fixed views, the heat map of
// the last snapshot against the first, and one overview of before and after.

#include <algorithm>
#include <filesystem>

#include "lab/report/render.h"

namespace lab {
namespace {

constexpr int kWidth = 960, kHeight = 600;

// Half size, side by side: the first and the last snapshot, one row per view.
Image overview(const std::vector<Image>& first, const std::vector<Image>& last) {
    Image out;
    const int w = kWidth / 2, h = kHeight / 2;
    out.width = 2 * w;
    out.height = h * static_cast<int>(first.size());
    out.rgba.assign(static_cast<std::size_t>(out.width) * out.height * 4, 255);
    for (std::size_t v = 0; v < first.size(); ++v)
        for (int col = 0; col < 2; ++col) {
            const Image& src = col == 0 ? first[v] : last[v];
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < 4; ++c) {
                        int sum = 0;
                        for (int k = 0; k < 4; ++k)
                            sum += src.rgba[(static_cast<std::size_t>(2 * y + k / 2) * src.width +
                                             2 * x + k % 2) *
                                                4 +
                                            c];
                        const std::size_t at =
                            (static_cast<std::size_t>(v * h + y) * out.width + col * w + x) * 4 + c;
                        out.rgba[at] = static_cast<std::uint8_t>((sum + 2) / 4);
                    }
        }
    return out;
}

// The cars with the lights broken when snapshot `s` was taken. A run that
// gives only the end's lights shows them broken on every snapshot but the
// first, which is the car before anything struck it.
std::vector<CarFacts> carsAt(const LoadedRun& run, std::size_t s) {
    std::vector<CarFacts> cars = run.cars;
    if (s >= run.snapshotLights.size() || !run.snapshotLights[s]) {
        if (s == 0)
            for (CarFacts& car : cars)
                car.brokenLights.clear();
        return cars;
    }
    for (CarFacts& car : cars) {
        car.brokenLights.clear();
        for (const LoadedRun::BrokenLight& l : *run.snapshotLights[s])
            if (l.car == car.name) car.brokenLights.push_back(l.light);
    }
    return cars;
}

} // namespace

float heatScaleOf(const Displacement& heat) {
    return std::max(heat.largest, 0.05f);
}

bool drawPictures(const LoadedRun& run, const Displacement& heat, const std::string& dir,
                  std::vector<Picture>& pictures, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(dir + "/pictures", ec);
    if (ec) {
        error = dir + "/pictures: cannot be created (" + ec.message() + ")";
        return false;
    }
    OffscreenRenderer renderer;
    const Snapshot& rest = run.snapshots.front();
    std::vector<Image> firstImages, lastImages;
    auto draw = [&](const Scene& scene, const View& view, const std::string& kind, Image& image) {
        const Camera camera = frameCamera(rest, view, kWidth, kHeight);
        const std::string file = "pictures/" + view.name + "-" + kind + ".png";
        if (!renderer.draw(scene, camera, image, error)) {
            error = dir + "/" + file + ": " + error;
            return false;
        }
        if (!writePng(image, dir + "/" + file, error)) return false;
        pictures.push_back({file, view.name, kind});
        return true;
    };
    for (std::size_t s = 0; s < run.snapshots.size(); ++s) {
        const Scene scene =
            buildScene(run.snapshots[s], carsAt(run, s), true, nullptr, 1.0f, &run.textures);
        for (const View& view : fixedViews()) {
            Image image;
            if (!draw(scene, view, run.snapshots[s].label, image)) return false;
            if (s == 0) firstImages.push_back(image);
            if (s + 1 == run.snapshots.size()) lastImages.push_back(std::move(image));
        }
    }
    const Scene heatScene = buildScene(run.snapshots.back(), carsAt(run, run.snapshots.size() - 1),
                                       true, &heat, heatScaleOf(heat));
    for (const View& view : fixedViews()) {
        Image image;
        if (!draw(heatScene, view, "heat", image)) return false;
    }
    const std::string file = "pictures/overview.png";
    if (!writePng(overview(firstImages, lastImages), dir + "/" + file, error)) return false;
    pictures.push_back({file, "all", "overview"});
    return true;
}

} // namespace lab
