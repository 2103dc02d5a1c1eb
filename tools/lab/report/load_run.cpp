// Stage 2: read what the runner wrote (run.json, the snapshots, the log).

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <stb_image.h>

#include "lab/report/report.h"

namespace lab {
namespace {

using Json = nlohmann::json;

// A relative path inside the run folder, never one that climbs out of it.
bool insideFolder(const std::string& file) {
    if (file.empty() || file[0] == '/') return false;
    std::size_t start = 0;
    while (start <= file.size()) {
        const std::size_t end = file.find('/', start);
        const std::string part =
            file.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part == "..") return false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return true;
}

bool readCars(const Json& run, LoadedRun& out, const std::string& where, std::string& error) {
    for (const Json& c : run.at("cars")) {
        CarFacts car;
        car.name = c.at("name").get<std::string>();
        car.model = c.at("model").get<int>();
        car.traffic = c.at("traffic").get<bool>();
        // The car's own rear-light position when the runner gives it; else the
        // substitute host's procedural car, where the lights sit by default.
        if (c.contains("rearLight")) {
            const Json& p = c.at("rearLight");
            for (int k = 0; k < 3; ++k)
                car.rearLight.body[k] = p.at(k).get<float>();
            for (float v : car.rearLight.body)
                if (!std::isfinite(v)) {
                    error = where + ": car '" + car.name + "' has a rear light that is not finite";
                    return false;
                }
        }
        out.cars.push_back(car);
    }
    for (const Json& b : run.at("brokenLights")) {
        const std::string name = b.at("car").get<std::string>();
        bool found = false;
        for (CarFacts& car : out.cars)
            if (car.name == name) {
                car.brokenLights.push_back(b.at("light").get<int>());
                found = true;
            }
        if (!found) {
            error = where + ": a broken light of car '" + name + "', which is not in \"cars\"";
            return false;
        }
    }
    return true;
}

// The run's textures, decoded for drawing; a file the run lists and that is
// not there or not an image is an error, as a missing snapshot is.
bool readTextures(const Json& run, LoadedRun& out, const std::string& where, std::string& error) {
    if (!run.contains("textures")) return true;
    for (const Json& t : run.at("textures")) {
        RunTexture texture;
        texture.name = t.at("name").get<std::string>();
        const std::string file = t.at("file").get<std::string>();
        if (!insideFolder(file)) {
            error = where + ": texture file '" + file + "' lies outside the run folder";
            return false;
        }
        if (findTexture(out.textures, texture.name) != nullptr) {
            error = where + ": texture '" + texture.name + "' is listed twice";
            return false;
        }
        const std::string path = out.dir + "/" + file;
        std::string bytes;
        if (!readTextFile(path, bytes, error)) return false;
        texture.png.assign(bytes.begin(), bytes.end());
        static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        int channels = 0;
        stbi_uc* pixels =
            texture.png.size() < sizeof kPng || texture.png.size() > (64u << 20) ||
                    !std::equal(kPng, kPng + 8, texture.png.begin())
                ? nullptr
                : stbi_load_from_memory(texture.png.data(), static_cast<int>(texture.png.size()),
                                        &texture.width, &texture.height, &channels, 4);
        if (pixels == nullptr || texture.width > 8192 || texture.height > 8192) {
            stbi_image_free(pixels);
            error = path + ": expected a PNG image of at most 8192 pixels a side";
            return false;
        }
        texture.rgba.assign(pixels, pixels + 4ull * texture.width * texture.height);
        stbi_image_free(pixels);
        for (std::size_t i = 3; i < texture.rgba.size() && !texture.translucent; i += 4)
            texture.translucent = texture.rgba[i] < 255;
        out.textures.push_back(std::move(texture));
    }
    return true;
}

} // namespace

const RunTexture* findTexture(const std::vector<RunTexture>& textures, const std::string& name) {
    for (const RunTexture& t : textures)
        if (t.name == name) return &t;
    return nullptr;
}

bool loadRun(const std::string& dir, LoadedRun& out, std::string& error) {
    out = LoadedRun{};
    out.dir = dir;
    const std::string where = dir + "/run.json";
    if (!readTextFile(where, out.runJsonText, error)) return false;
    try {
        const Json run = Json::parse(out.runJsonText);
        if (!run.is_object()) {
            error = where + ": expected a JSON object";
            return false;
        }
        if (!readCars(run, out, where, error) || !readTextures(run, out, where, error))
            return false;
        for (const Json& s : run.at("snapshots")) {
            const std::string file = s.at("file").get<std::string>();
            if (!insideFolder(file)) {
                error = where + ": snapshot file '" + file + "' lies outside the run folder";
                return false;
            }
            Snapshot snapshot;
            if (!readSnapshot(dir + "/" + file, snapshot, error)) return false;
            // Labels name the report's files.
            const bool plain = !snapshot.label.empty() && snapshot.label.size() <= 64 &&
                               snapshot.label.find_first_not_of(
                                   "abcdefghijklmnopqrstuvwxyz0123456789_-") == std::string::npos;
            bool repeated = false;
            for (const Snapshot& earlier : out.snapshots)
                repeated |= earlier.label == snapshot.label;
            if (!plain || repeated) {
                error = dir + "/" + file + ": expected a unique label of a-z, 0-9, '_' and '-'";
                return false;
            }
            std::optional<std::vector<LoadedRun::BrokenLight>> lights;
            if (s.contains("brokenLights")) {
                lights.emplace();
                for (const Json& b : s.at("brokenLights"))
                    lights->push_back({b.at("car").get<std::string>(), b.at("light").get<int>()});
            }
            out.snapshots.push_back(std::move(snapshot));
            out.snapshotLights.push_back(std::move(lights));
        }
    } catch (const Json::exception& e) {
        error = where + ": " + e.what();
        return false;
    }
    if (out.snapshots.empty()) {
        error = where + ": the scenario took no snapshot, so there is nothing to draw";
        return false;
    }
    return readTextFile(dir + "/bucklewright.log", out.log, error);
}

} // namespace lab
