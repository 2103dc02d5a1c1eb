#pragma once

// Plays a scenario on the substitute host with the plug-in loaded, writes
// the snapshots and the plug-in's log into the output folder, and gathers
// what the host saw for run.json.

#include <cstdint>
#include <string>
#include <vector>

#include "dent/vec.h"
#include "lab/runner/scenario.h"

namespace lab {

struct RunFacts {
    std::uint32_t frames = 0;
    double frameMsTotal = 0, frameMsMax = 0;
    struct Car {
        std::string name;
        int model;
        bool traffic;
        bool hasRearLight; // the host has model info for the car's model
        dent::Vec rearLight;
    };
    std::vector<Car> cars;
    struct Light {
        std::string car;
        int light;
    };
    struct Snapshot {
        std::string label, file;
        std::uint32_t frame;
        std::vector<Light> brokenLights; // as they stood when it was taken
    };
    std::vector<Snapshot> snapshots;
    struct Fold {
        std::string car, frame;
        float lift;
    };
    std::vector<Fold> foldedPanels;
    std::vector<Light> brokenLights; // every light broken at any time of the run
    struct Held {
        std::string car, part;
        std::uint32_t attempts;
    };
    std::vector<Held> heldParts;
    // Peaks over the run: cars drawing copies, and the vertices of all copies.
    std::uint32_t trackedVehicles = 0, copiedVertices = 0;
    std::uint32_t maxTrackedVehicles = 0, maxTotalVertices = 0;
    std::string log; // the plug-in's log, byte for byte
    // The car files' textures, written as textures/NAME.png: the names the
    // snapshots' materials give.
    std::vector<std::string> textures;
};

enum class RunStatus { Ok, BadInput, Failed };

// The plug-in binary to play with: the proving build's shared library or the
// product DLL (through the Windows loader). Either is installed into a
// folder of its own under its shipped name, beside the settings file, since
// the plug-in finds its settings and log by its own name.
struct PluginChoice {
    std::string path;
    bool dll = false;
    const char* installedName() const { return dll ? "bucklewright.asi" : "bucklewright.so"; }
};

// `settings` is the text of the settings file the plug-in gets. On anything
// but Ok, `error` holds the one line to report.
RunStatus runScenario(const Scenario& scenario, const PluginChoice& plugin,
                      const std::string& settings, const std::string& outDir, RunFacts& facts,
                      std::string& error);

} // namespace lab
