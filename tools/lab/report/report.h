#pragma once

// The crash lab's report front end, laid out as its pipeline: run the 32-bit
// scenario runner, load what it wrote, measure the displacement, draw the
// pictures, write the glTF models, the summary and the HTML page. This header
// holds the records the stages hand to each other. Every stage reports a
// failure as false plus one message that names the file concerned; nothing is
// thrown out of a stage.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lab/snapshot.h"

namespace lab {

// ---- run the runner ----------------------------------------------------------

struct ToolPaths {
    std::string runner;              // bwlab-run (32-bit)
    std::vector<std::string> prefix; // emulator command before it, or empty
    std::string pluginSo, pluginDll;
    std::string settings;  // used when the command line names none
    std::string viewerDir; // tools/lab/viewer (viewer module, node_modules/three)
    // --wine: the runner built as a Windows program, the script that starts
    // it under Wine and the Wine prefix it runs in.
    std::string wineRunner, wineLauncher, winePrefix;
};

struct RunRequest {
    std::string scenario, settings, outDir;
    bool useSo = false;
    bool useWine = false; // the product DLL in the substitute game under Wine
};

// The runner's exit: 0 success, 2 bad input (its one line already on stderr),
// anything else a failure.
struct RunnerExit {
    int code = 1;
};

// ---- load ----------------------------------------------------------------------

struct LampPosition {
    float body[3] = {0.7f, -2.1f, 0.3f}; // mirrored in x for the other light
};

struct CarFacts {
    std::string name;
    int model = 0;
    bool traffic = false;
    LampPosition rearLight;
    std::vector<int> brokenLights; // light indices (2 left, 3 right)
};

// An image the cars' materials draw, by the name their materials give.
struct RunTexture {
    std::string name;
    std::vector<std::uint8_t> png; // the file's bytes, embedded as they are in the models
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgba; // decoded, top row first
    bool translucent = false;       // some pixel's alpha is below 255
};

struct LoadedRun {
    std::string dir;
    std::string runJsonText; // run.json as written, merged into the summary
    std::vector<CarFacts> cars;
    std::vector<Snapshot> snapshots; // in run.json's order
    // Per snapshot, the lights broken when it was taken ("car", index); a
    // snapshot whose entry gives none has no list: only the end of the run is known.
    struct BrokenLight {
        std::string car;
        int light = 0;
    };
    std::vector<std::optional<std::vector<BrokenLight>>> snapshotLights;
    std::vector<RunTexture> textures;
    std::string log;
};

// The texture of that name, or null.
const RunTexture* findTexture(const std::vector<RunTexture>& textures, const std::string& name);

// ---- heat map ------------------------------------------------------------------

struct MeshDisplacement {
    std::string car, frame;
    bool matched = false;        // a mesh of the same car and frame was in the rest snapshot
    bool sameVertices = false;   // compared vertex by vertex (else nearest rest surface)
    std::vector<float> distance; // per vertex, metres from rest
    std::uint32_t displaced = 0; // vertices moved by more than kDisplacedMetres
    float largest = 0;
};

// Per car, per mesh of the compared snapshot, in snapshot order.
struct Displacement {
    std::vector<std::vector<MeshDisplacement>> cars;
    std::uint32_t dentedMeshes = 0, displacedVertices = 0;
    float largest = 0;
    std::string largestCar, largestFrame;
};

constexpr float kDisplacedMetres = 0.001f;

// The displacement the heat map's hottest colour stands for: the run's
// largest, but never so small that millimetres look like dents.
float heatScaleOf(const Displacement& heat);

// ---- pictures --------------------------------------------------------------------

struct Image {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgba; // top row first
};

struct Picture {
    std::string file;       // relative to the report folder
    std::string view, kind; // kind: the snapshot label, or "heat"
};

// ---- shared helpers -----------------------------------------------------------------

// What the game draws of a car up close: visible atomics, not the low-detail
// stand-in it swaps in at a distance.
bool drawnUpClose(const SnapshotMesh& mesh);

// Host matrix (rows right, forward, up, position) applied to a point or a direction.
void transformPoint(const float m[16], const float in[3], float out[3]);
void transformDirection(const float m[16], const float in[3], float out[3]);

// The text with every byte sequence that is not UTF-8 replaced by '?', so
// that frame names and log lines can go into JSON and HTML.
std::string asUtf8(const std::string& text);

bool writeTextFile(const std::string& path, const std::string& text, std::string& error);
bool readTextFile(const std::string& path, std::string& text, std::string& error);

// ---- the report folder -----------------------------------------------------------------

// The marker a report folder carries: the list of every file and folder the
// lab made in it. Only a folder holding nothing else is ever replaced.
constexpr const char* kReportMarker = ".bwlab-report";

// Why a new report may not take the place of `dir` (a phrase about it), or
// empty when it may: `dir` is absent, an empty folder, or a report that holds
// only what its marker lists.
std::string replaceProblem(const std::string& dir);

// A fresh folder of this run's own beside `dir` ("DIR.new-XXXXXX"), where
// the report is built; its parent is made when missing.
bool makeRunFolder(const std::string& dir, std::string& folder, std::string& error);
void removeRunFolder(const std::string& folder);

// Lists the complete report in `folder` in its marker and puts it in the
// place of `dir`; an earlier report there is removed name by listed name.
// When `dir` has meanwhile come to hold anything else, the new report stays
// in `folder` and `error` says so. `note` tells of anything kept.
bool publishReport(const std::string& folder, const std::string& dir, std::string& error,
                   std::string& note);

// ---- the stages ----------------------------------------------------------------------

// Starts the runner on the request, into `request.outDir`, and waits for it.
// Its stdout and stderr are the caller's, so its one error line passes
// through unchanged.
bool runRunner(const ToolPaths& tools, const RunRequest& request, RunnerExit& exit,
               std::string& error);

bool loadRun(const std::string& dir, LoadedRun& run, std::string& error);

// How far every vertex of `after` lies from `rest`.
Displacement measureDisplacement(const Snapshot& rest, const Snapshot& after);

// Draws every snapshot of the run and the heat map of the last against the
// first, from the fixed views, into `dir`/pictures.
bool drawPictures(const LoadedRun& run, const Displacement& heat, const std::string& dir,
                  std::vector<Picture>& pictures, std::string& error);

// One binary glTF per snapshot into `dir`/models; `heat` (may be null) adds
// each vertex's displacement as the "_HEAT" attribute. The textures its
// materials name are embedded as PNG images.
bool writeGlb(const Snapshot& snapshot, const Displacement* heat,
              const std::vector<RunTexture>& textures, const std::string& path, std::string& error);

bool writeSummary(const LoadedRun& run, const Displacement& heat,
                  const std::vector<Picture>& pictures, const std::string& path,
                  std::string& error);

bool writeHtml(const LoadedRun& run, const Displacement& heat, const std::vector<Picture>& pictures,
               const std::vector<std::string>& models, const ToolPaths& tools,
               const std::string& dir, std::string& error);

} // namespace lab
