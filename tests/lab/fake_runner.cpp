// A stand-in for the 32-bit scenario runner with the same command line and
// output contract, so the report's tests run without the 32-bit build. The
// scenario file's first word picks what it does: "ok" plays a fixed run of
// two cars (a dented chassis, a rebuilt bonnet, a broken rear light);
// "bad-input" and "failure" stop the way the runner stops on bad input and
// on other failures, after leaving some files behind; "nan" plays the fixed
// run with a vertex that is not finite.

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "synthetic_car.h"

#include <stb_image_write.h>

namespace {

int fail(const std::string& line, int code) {
    std::fprintf(stderr, "%s\n", line.c_str());
    return code;
}

bool write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv) {
    std::string scenario, settings, out, plugin;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        (key == "--scenario"   ? scenario
         : key == "--settings" ? settings
         : key == "--out"      ? out
                               : plugin) = argv[i + 1];
    }
    std::error_code ec;
    if (scenario.empty() || settings.empty() || out.empty() || plugin.empty())
        return fail("fake-runner: incomplete command line", 1);
    if (!std::filesystem::is_directory(out, ec) || !std::filesystem::is_empty(out, ec))
        return fail(out + ": expected an existing, empty folder", 1);
    std::ifstream in(scenario);
    std::string mode;
    if (!(in >> mode)) return fail(scenario + ": cannot be read", 2);

    std::filesystem::create_directories(out + "/snapshots", ec);
    lab::Snapshot before =
        labtest::syntheticSnapshot("before", {labtest::syntheticCar("player", 0, 0, 0),
                                              labtest::syntheticCar("traffic 1", 90, 6, 1)});
    std::string error;
    if (!lab::writeSnapshot(out + "/snapshots/before.bwsnap", before, error)) return fail(error, 1);
    if (mode == "bad-input")
        return fail(scenario + ":2: expected 'strike', 'wait' or 'snapshot'", 2);
    if (mode == "failure") return fail("fake-runner: the plug-in could not be loaded", 1);

    lab::Snapshot after = before;
    after.label = "after";
    after.frame = 40;
    const float corner[3] = {0.9f, 1.9f, 0.2f}, inward[3] = {1, 0, 0};
    labtest::dent(labtest::meshNamed(after.cars[0], "chassis_hi"), corner, 0.35f, 0.12f, inward);
    labtest::rebuildBonnet(labtest::meshNamed(after.cars[0], "bonnet_hi_ok"), 0.15f);
    if (mode == "nan") labtest::meshNamed(after.cars[0], "chassis_hi").positions[4] = NAN;
    if (!lab::writeSnapshot(out + "/snapshots/after.bwsnap", after, error)) return fail(error, 1);
    // The chassis's texture: a blue and yellow checker.
    std::uint8_t checker[8 * 8 * 3];
    for (int i = 0; i < 64; ++i) {
        const bool blue = ((i % 8) / 2 + (i / 8) / 2) % 2 == 0;
        checker[3 * i] = blue ? 40 : 240;
        checker[3 * i + 1] = blue ? 60 : 200;
        checker[3 * i + 2] = blue ? 220 : 40;
    }
    std::filesystem::create_directories(out + "/textures", ec);
    if (!stbi_write_png((out + "/textures/paint.png").c_str(), 8, 8, 3, checker, 24))
        return fail("fake-runner: cannot write the texture", 1);
    const bool ok =
        write(out + "/bucklewright.log", "Bucklewright 0.1.4 loaded\nHit: player "
                                         "depth=0.120\nSettings: PanelStrength refused\n") &&
        write(out + "/run.json", R"({
  "scenario": ")" + scenario + R"(", "plugin": "bucklewright.so", "frames": 40,
  "frameMs": {"mean": 1.5, "max": 3.0},
  "cars": [{"name": "player", "model": 90, "traffic": false},
           {"name": "traffic 1", "model": 91, "traffic": true, "rearLight": [0.7, -2.1, 0.3]}],
  "snapshots": [{"label": "before", "file": "snapshots/before.bwsnap", "frame": 0},
                {"label": "after", "file": "snapshots/after.bwsnap", "frame": 40,
                 "brokenLights": [{"car": "player", "light": 2}]}],
  "hits": 1,
  "foldedPanels": [{"car": "player", "frame": "bonnet_hi_ok", "lift": 0.15}],
  "brokenLights": [{"car": "player", "light": 2}],
  "heldParts": [],
  "budgets": {"trackedVehicles": 1, "maxTrackedVehicles": 8, "copiedVertices": 2000, "maxTotalVertices": 50000},
  "textures": [{"name": "paint", "file": "textures/paint.png"}],
  "refusals": ["Settings: PanelStrength refused"]
}
)");
    return ok ? 0 : fail("fake-runner: cannot write " + out, 1);
}
