#pragma once

// Turns a mesh file that assimp reads (glTF, OBJ, AC3D, FBX, ...) and its part
// map into a car: the map's parts cut out of the source, in game units and
// axes, each under its own frame placed at the part's centre, with the
// images its materials draw (texture.h).

#include "carfile/car_file.h"
#include "carimport/part_map.h"

#include <string>
#include <vector>

namespace carimport {

struct PartSummary {
    std::string path;
    std::uint32_t vertices = 0;
    std::uint32_t triangles = 0;
};

struct ImportResult {
    carfile::Car car;
    std::vector<PartSummary> parts; // one per atomic, in map order
    std::uint32_t leftOut = 0;      // source triangles (or pieces of them) no line took
    // What the import did without: each texture or side file (a material
    // library, say) that could not be read, one line each.
    std::vector<std::string> warnings;
};

// False with `error` set when the mesh cannot be read or the map does not fit
// it; errors about a line of the map read "FILE:LINE: what".
bool importCar(const std::string& meshFile, const PartMap& map, ImportResult& result,
               std::string& error);

} // namespace carimport
