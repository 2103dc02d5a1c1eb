// Stage 6: summary.json, run.json's facts plus what the snapshots show.

#include <cmath>
#include <nlohmann/json.hpp>

#include "lab/report/report.h"

namespace lab {
namespace {

// Tenths of a millimetre: what a float's last digits would add is noise.
double rounded(float metres) {
    return std::round(static_cast<double>(metres) * 1e4) / 1e4;
}

} // namespace

bool writeSummary(const LoadedRun& run, const Displacement& heat,
                  const std::vector<Picture>& pictures, const std::string& path,
                  std::string& error) {
    using Json = nlohmann::ordered_json;
    Json summary;
    try {
        summary = Json::parse(run.runJsonText);
    } catch (const Json::exception& e) {
        error = run.dir + "/run.json: " + e.what();
        return false;
    }
    const Snapshot& last = run.snapshots.back();
    summary["comparedSnapshots"] = {{"rest", run.snapshots.front().label}, {"after", last.label}};
    summary["dentedMeshes"] = heat.dentedMeshes;
    summary["displacedVertices"] = heat.displacedVertices;
    summary["largestDisplacement"] = {{"metres", rounded(heat.largest)},
                                      {"car", asUtf8(heat.largestCar)},
                                      {"frame", asUtf8(heat.largestFrame)}};
    summary["heatScaleMetres"] = rounded(heatScaleOf(heat));
    Json meshes = Json::array();
    for (std::size_t c = 0; c < last.cars.size() && c < heat.cars.size(); ++c)
        for (std::size_t m = 0; m < last.cars[c].meshes.size() && m < heat.cars[c].size(); ++m) {
            const SnapshotMesh& mesh = last.cars[c].meshes[m];
            if (!drawnUpClose(mesh)) continue;
            const MeshDisplacement& d = heat.cars[c][m];
            meshes.push_back({{"car", asUtf8(d.car)},
                              {"frame", asUtf8(d.frame)},
                              {"vertices", mesh.vertexCount()},
                              {"triangles", mesh.triangleCount()},
                              {"pluginCopy", !mesh.drawsSource},
                              {"comparedBy", !d.matched       ? "none"
                                             : d.sameVertices ? "vertex"
                                                              : "surface"},
                              {"displacedVertices", d.displaced},
                              {"largestDisplacement", rounded(d.largest)}});
        }
    summary["meshes"] = meshes;
    Json files = Json::array();
    for (const Picture& p : pictures)
        files.push_back(p.file);
    summary["pictures"] = files;
    return writeTextFile(path, summary.dump(2, ' ', false, Json::error_handler_t::replace) + "\n",
                         error);
}

} // namespace lab
