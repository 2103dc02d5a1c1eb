#pragma once

// A crash-lab scenario: the cars, the settings overrides and a timeline of
// what happens to them, read from a small hand-written text file. The format
// is described in tools/lab/README.md; in short, one step per line, words separated
// by blanks, '#' starts a comment:
//
//   car player procedural at 0 0 0              # the player drives the car named "player"
//   car truck procedural model 95 at 0 6 0 yaw 180
//   car saloon mesh cars/p406.bwcar model 91 at 6 0 0 rearlight 0.62 -2.12 0.78
//   traffic 12 model 100 at 4 10 0 step 0 6 0   # cars traffic-1 .. traffic-12
//   set Traffic.MaxNPCPerFrame 8                # merged into the settings file
//   wait 2                                      # play two frames (33 ms each)
//   snapshot before
//   strike player at -0.8 2.1 0.3 normal 0 -1 0 impulse 900 by truck
//   wait 1                                      # the strike is delivered in this frame
//   snapshot after
//
// Strikes, damage, F7, repair and health changes happen in the next frame
// that a `wait` plays; a scenario that ends with such a step still waiting is
// refused.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "carfile/car_file.h"
#include "dent/vec.h"

namespace lab {

// Where a car's body comes from. Procedural: the substitute host's own car.
// Mesh: a car file (*.bwcar, written by bw_carimport), read and checked when
// the scenario is read, so that a bad file is the scenario's error.
enum class CarSource { Procedural, Mesh };

struct CarEntry {
    std::string name;
    CarSource source = CarSource::Procedural;
    std::string meshFile; // as resolved: relative to the scenario's folder, or absolute
    std::shared_ptr<const carfile::Car> body; // Mesh
    // Where the model's rear lights sit (body frame; the game mirrors x for
    // the other light). The game keeps one per model, so cars of one model
    // share it; without one the host's default stands.
    bool hasRearLight = false;
    dent::Vec rearLight{0, 0, 0};
    int model = 90;
    dent::Vec at{0, 0, 0};
    float yawDegrees = 0;
    int detail = 1;
    bool traffic = false;
    int line = 0;
};

struct SettingOverride {
    std::string section, key, value;
    int line = 0;
};

enum class StepKind { Wait, Strike, Damage, F7, Repair, Health, Restart, Snapshot };

struct Step {
    StepKind kind = StepKind::Wait;
    int line = 0;
    // Wait: frames and milliseconds per frame.
    std::uint32_t frames = 1;
    std::uint32_t frameMs = 33;
    // Strike, Damage, Repair, Health: the car ("traffic" strikes every
    // traffic car); Strike: the other car, or empty for a one-sided response.
    std::string car, by;
    dent::Vec point{0, 0, 0};  // body frame
    dent::Vec normal{0, 0, 0}; // body frame: the way the blow pushes the body
    float impulse = 0, byImpulse = 0;
    // Damage: the host's component code (doors 5..10, panels 11..14, 16, 17).
    int component = 0;
    float health = 0;
    std::string label; // Snapshot
};

struct Scenario {
    std::string path;
    std::vector<CarEntry> cars;
    std::vector<SettingOverride> settings;
    std::vector<Step> steps;
};

// A scenario error: one line of text "FILE:LINE: expected ..." (or
// "FILE: ..." when no line applies).
struct ScenarioError {
    std::string text;
};

// Reads and checks the whole file; false with `error` set on the first
// problem. Nothing is thrown.
bool readScenario(const std::string& path, Scenario& scenario, ScenarioError& error);
// The same for text already in memory (`path` names it in errors).
bool parseScenario(const std::string& path, const std::string& text, Scenario& scenario,
                   ScenarioError& error);

// The name a scenario uses for the part behind a component code: "door 2",
// "panel 0", ...
std::string componentName(int component);

} // namespace lab
