// bw_carimport MESH MAP OUT: converts a mesh file and its part map into a car
// file for the substitute host, and says what each part holds.

#include "carimport/import.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bw_carimport MESH MAP OUT.bwcar\n");
        return 2;
    }
    std::string error;
    carimport::PartMap map;
    carimport::ImportResult result;
    if (!carimport::readPartMap(argv[2], map, error) ||
        !carimport::importCar(argv[1], map, result, error) ||
        !carfile::writeCar(argv[3], result.car, error)) {
        std::fprintf(stderr, "bw_carimport: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& warning : result.warnings)
        std::fprintf(stderr, "bw_carimport: warning: %s\n", warning.c_str());
    std::uint32_t vertices = 0, triangles = 0;
    for (const carimport::PartSummary& p : result.parts) {
        std::printf("%-32s %6u vertices %6u triangles\n", p.path.c_str(), p.vertices, p.triangles);
        vertices += p.vertices;
        triangles += p.triangles;
    }
    std::printf("%s: %zu atomics, %u vertices, %u triangles, %zu textures, %u source triangles "
                "left out\n",
                argv[3], result.parts.size(), vertices, triangles, result.car.textures.size(),
                result.leftOut);
    return 0;
}
