// The real cars' box-cut parts lie within their boxes. Each car is imported
// with its part map as written (boxes cut) and once more with every box
// taking whole triangles by centroid, the rule before boxes cut; both parts'
// bounds are printed against their boxes, and the cut ones must keep within
// a few millimetres.
// usage: real_car_boxes_test CARS_DIR MAP_DIR
#include "carimport/import.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

using namespace carimport;

constexpr float kTolerance = 0.003f; // metres

struct Bounds {
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
};

// The part's bounds in the car's body frame.
Bounds boundsOf(const carfile::Car& car, const std::string& path) {
    const std::string name = path.substr(path.find('/') + 1);
    Bounds b;
    for (const carfile::CarAtomic& a : car.atomics) {
        if (car.frames[a.frame].name != name) continue;
        for (std::size_t v = 0; v < a.vertexCount(); ++v)
            for (int k = 0; k < 3; ++k) {
                float p = a.positions[3 * v + k];
                for (std::int32_t f = static_cast<std::int32_t>(a.frame); f >= 0;
                     f = car.frames[f].parent)
                    p += car.frames[f].matrix[9 + k];
                b.lo[k] = std::min(b.lo[k], p);
                b.hi[k] = std::max(b.hi[k], p);
            }
    }
    return b;
}

// How far the bounds reach beyond the box, the most on any side.
float overreach(const Bounds& b, const Box& box) {
    float most = 0;
    for (int k = 0; k < 3; ++k)
        most = std::max({most, box.lo[k] - b.lo[k], b.hi[k] - box.hi[k]});
    return most;
}

std::string text(const float lo[3], const float hi[3]) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "x %6.3f..%6.3f y %6.3f..%6.3f z %6.3f..%6.3f", lo[0],
                  hi[0], lo[1], hi[1], lo[2], hi[2]);
    return buffer;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: real_car_boxes_test CARS_DIR MAP_DIR\n");
        return 2;
    }
    int failures = 0;
    for (const std::string car : {"p406", "car1-trb1"}) {
        const std::string mesh = std::string(argv[1]) + "/" + car + "/" + car + ".acc";
        PartMap cut, whole;
        ImportResult after, before;
        std::string error;
        bool ok = readPartMap(std::string(argv[2]) + "/" + car + ".map", cut, error);
        whole = cut;
        for (PartLine& line : whole.lines)
            line.wholeTriangles = true;
        ok = ok && importCar(mesh, cut, after, error) && importCar(mesh, whole, before, error);
        if (!ok) {
            std::printf("FAIL %s: %s\n", car.c_str(), error.c_str());
            ++failures;
            continue;
        }
        std::printf("%s (%zu textures)\n", car.c_str(), after.car.textures.size());
        for (const std::string& w : after.warnings) {
            std::printf("  FAIL warning: %s\n", w.c_str());
            ++failures;
        }
        for (const PartLine& line : cut.lines) {
            if (!line.hasBox) continue;
            const Bounds b = boundsOf(before.car, line.path), a = boundsOf(after.car, line.path);
            const float reach = overreach(a, line.box);
            const bool inside = reach <= kTolerance;
            failures += inside ? 0 : 1;
            std::printf(
                "  %s\n    box    %s\n    before %s  (%.0f mm out)\n    after  %s  (%.1f mm "
                "out)%s\n",
                line.path.c_str(), text(line.box.lo.data(), line.box.hi.data()).c_str(),
                text(b.lo, b.hi).c_str(), overreach(b, line.box) * 1000, text(a.lo, a.hi).c_str(),
                reach * 1000, inside ? "" : "  FAIL");
        }
    }
    std::printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
