// Real car bodies on the substitute host: each converted car (a one-mesh
// saloon with its panels cut out by region, a sports car of many named parts)
// is the player's car and a traffic car, struck many times at random points
// of its surface by a seeded driver, with every invariant of the soak checked
// after each frame. Every bonnet and boot the hits reach is rebuilt as a
// creased panel or refused with the plug-in's own line; a rebuilt panel is
// two-sided, each piece on one crease side and inside one cell of its lattice.
// Arguments: the car files. BW_REALCAR_FRAMES and BW_REALCAR_SEED vary the run.

#include "../soak/harness.h"
#include "../soak/random.h"

#include "carfile/car_file.h"
#include "game/host_functions.h"
#include "game/host_layout.h"
#include "game/registry.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

struct Surface {
    void* frame;
    dent::Vec local, normal;
    bool panel;
};

// Every vertex of the car's atomics, with its frame: the places to strike.
std::vector<Surface> surfaceOf(sim::Host& host, void* vehicle) {
    std::vector<Surface> out;
    for (void* a : host.atomicsOf(game::renderObject(vehicle))) {
        void* g = game::atomicGeometry(a);
        void* frame = game::atomicFrame(a);
        const char* name = game::frameName(frame);
        const std::string n = name ? name : "";
        const bool panel = n.rfind("bonnet", 0) == 0 || n.rfind("boot", 0) == 0;
        void* morph = game::morphTarget(g, host.morphOffset());
        const auto* p = static_cast<const dent::Vec*>(game::morphPositions(morph));
        const auto* nn = static_cast<const dent::Vec*>(game::morphNormals(morph));
        for (std::int32_t v = 0; v < game::vertexCount(g); ++v)
            out.push_back({frame, p[v], nn[v], panel});
    }
    return out;
}

dent::Vec toWorld(void* frame, dent::Vec v, bool direction) {
    const auto* m = static_cast<const float*>(game::frameLTM(frame));
    dent::Vec w{m[0] * v.x + m[4] * v.y + m[8] * v.z, m[1] * v.x + m[5] * v.y + m[9] * v.z,
                m[2] * v.x + m[6] * v.y + m[10] * v.z};
    return direction ? w : w + dent::Vec{m[12], m[13], m[14]};
}

float impulse(soak::Random& rng) {
    const std::uint32_t k = rng.below(40);
    if (k == 0) return std::numeric_limits<float>::quiet_NaN();
    if (k == 1) return std::numeric_limits<float>::infinity();
    if (k == 2) return -rng.uniform(0, 3000);
    if (k == 3) return 1e30f;
    return rng.uniform(300, 20000);
}

sim::ColPoint strike(soak::Random& rng, const std::vector<Surface>& surface) {
    // A third of the hits go to the bonnet and boot, the rest anywhere.
    const bool panel = rng.chance(3);
    const Surface* s = &surface[rng.below(static_cast<std::uint32_t>(surface.size()))];
    for (int tries = 0; panel && !s->panel && tries < 256; ++tries)
        s = &surface[rng.below(static_cast<std::uint32_t>(surface.size()))];
    sim::ColPoint c{};
    c.point = toWorld(s->frame, s->local, false);
    dent::Vec n = toWorld(s->frame, s->normal, true);
    if (rng.chance(2)) n = n * -1.0f;
    if (rng.chance(6)) n = {rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1)};
    c.normal = n;
    c.depth = rng.uniform(0, 0.3f);
    return c;
}

// The name of the frame of `vehicle`'s atomic that draws `geometry`.
std::string drawnBy(sim::Host& host, void* vehicle, const void* geometry) {
    for (void* a : host.atomicsOf(game::renderObject(vehicle)))
        if (game::atomicGeometry(a) == geometry) {
            const char* n = game::frameName(game::atomicFrame(a));
            return n ? n : "";
        }
    return {};
}

// A rebuilt panel: faces in front and back pairs on the same three vertices
// and material, each piece on one crease side and, at rest, inside one
// interpolation triangle of the lattice.
std::string panelFault(const game::MeshReference& ref) {
    void* g = ref.copyGeometry;
    const std::int32_t faces = game::triangleCount(g), n = game::vertexCount(g);
    if (faces % 2 != 0 || n != 3 * (faces / 2)) return "not three vertices per piece";
    if (ref.panel.sides.size() != static_cast<std::size_t>(n) ||
        ref.rest.size() != static_cast<std::size_t>(n))
        return "side or rest list does not match the vertices";
    const auto* t = static_cast<const game::Triangle*>(game::triangles(g));
    const dent::PanelLattice& lattice = ref.panel.lattice;
    for (std::int32_t k = 0; k < faces / 2; ++k) {
        const game::Triangle& front = t[2 * k];
        const game::Triangle& back = t[2 * k + 1];
        const auto a = static_cast<std::uint16_t>(3 * k);
        if (front.vertex[0] != a || front.vertex[1] != a + 1 || front.vertex[2] != a + 2 ||
            back.vertex[0] != a || back.vertex[1] != a + 2 || back.vertex[2] != a + 1 ||
            front.material != back.material)
            return "piece " + std::to_string(k) + " is not two-sided";
        const std::int32_t* side = &ref.panel.sides[3 * static_cast<std::size_t>(k)];
        if (side[0] != side[1] || side[1] != side[2])
            return "piece " + std::to_string(k) + " spans the crease";
        const dent::Vec* p = &ref.rest[3 * static_cast<std::size_t>(k)];
        const dent::Vec centroid = (p[0] + p[1] + p[2]) * (1.0f / 3.0f);
        const dent::LatticeSample s = lattice.sample(centroid);
        dent::Vec c[3];
        for (int e = 0; e < 3; ++e)
            c[e] = lattice.sheet[s.index[e]].rest;
        for (int v = 0; v < 3; ++v)
            for (int e = 0; e < 3; ++e) {
                const dent::Vec from = c[e], to = c[(e + 1) % 3];
                const float edge = std::hypot(to.x - from.x, to.y - from.y);
                const float inward =
                    ((to.x - from.x) * (p[v].y - from.y) - (to.y - from.y) * (p[v].x - from.x)) /
                    edge;
                if (!(inward >= -1e-5f))
                    return "piece " + std::to_string(k) + " leaves its lattice cell";
            }
    }
    return {};
}

std::string logText(const soak::Session& s) {
    std::ifstream in(s.logPath(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct PanelTally {
    std::map<std::string, std::string> outcome; // frame name -> "rebuilt ..." or "refused"
    std::uint64_t checked = 0;
};

void checkPanels(soak::Session& s, const std::vector<void*>& cars, PanelTally& tally,
                 soak::Figures& f) {
    const std::string log = logText(s);
    const bool refusalLogged =
        log.find("Panel crease unsupported; using ordinary dent for this mesh.") !=
        std::string::npos;
    for (void* car : cars) {
        const game::TrackedVehicle* rec = game::findRecord(*game::registry(), car);
        if (rec == nullptr) continue;
        for (const auto& ref : rec->meshReferences) {
            const std::string name = drawnBy(s.host(), car, ref->copyGeometry);
            if (name.rfind("bonnet", 0) != 0 && name.rfind("boot", 0) != 0) continue;
            ++tally.checked;
            if (ref->panel.kind == 0) {
                if (!refusalLogged)
                    soak::violation(f, name + " is an ordinary mesh, but no refusal was logged");
                tally.outcome[name] = "refused";
                continue;
            }
            const std::string fault = panelFault(*ref);
            if (!fault.empty()) soak::violation(f, name + ": " + fault);
            tally.outcome[name] = "rebuilt, " +
                                  std::to_string(game::triangleCount(ref->copyGeometry) / 2) +
                                  " pieces";
        }
    }
}

void run(const carfile::Car& body, const std::string& label, std::uint64_t seed,
         std::uint64_t frames, soak::Figures& f) {
    soak::Random rng(seed);
    const std::string ini =
        "[General]\r\nLogHits=1\r\n[Deformation]\r\nPanelBending=1\r\n[Traffic]\r\n"
        "NPCRange=200\r\nMaxNPCPerFrame=8\r\nMaxTrackedVehicles=16\r\nMaxTotalVertices=1000000\r\n";
    soak::Session s(ini, 16, f);
    if (!s.ok()) return;
    sim::Host& host = s.host();
    void* player = s.addCar({0, 0, 0}, 90, 1, &body);
    void* traffic = s.addCar({6, 3, 0}, 91, 1, &body);
    host.setPlayerVehicle(player);
    const std::vector<void*> cars = {player, traffic};
    const std::vector<Surface> surfaces[2] = {surfaceOf(host, player), surfaceOf(host, traffic)};
    PanelTally tally;
    for (std::uint64_t n = 0; n < frames; ++n) {
        soak::setContext(label + ", seed " + std::to_string(seed) + ", frame " + std::to_string(n));
        for (std::uint32_t k = 1 + rng.below(2); k > 0; --k) {
            const int which = rng.chance(3) ? 1 : 0;
            const sim::ColPoint p = strike(rng, surfaces[which]);
            if (rng.chance(2))
                s.queuePair(cars[which], cars[1 - which], p, impulse(rng), impulse(rng));
            else
                s.queueSingle(cars[which], nullptr, p, impulse(rng));
        }
        // Now and then F7 for one frame: the player's panels are rebuilt afresh.
        host.setKey(0x76, rng.chance(30));
        s.frame(33);
        if (n % 8 == 7) checkPanels(s, cars, tally, f);
    }
    host.setKey(0x76, false);
    checkPanels(s, cars, tally, f);
    if (tally.checked == 0) soak::violation(f, "no hit reached a bonnet or boot");
    for (const auto& [name, outcome] : tally.outcome)
        std::printf("realcar: %s: %s: %s\n", label.c_str(), name.c_str(), outcome.c_str());
    // The plug-in's own lines about the panels, once each.
    std::istringstream log(logText(s));
    std::set<std::string> seen;
    for (std::string line; std::getline(log, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if ((line.rfind("PanelBounds:", 0) == 0 || line.rfind("Panel crease", 0) == 0 ||
             line.rfind("PanelMesh:", 0) == 0) &&
            seen.insert(line).second)
            std::printf("realcar: %s: log: %s\n", label.c_str(), line.c_str());
    }
    soak::setContext(label + ", seed " + std::to_string(seed) + ", end of session");
    s.finish();
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t seed = soak::envNumber("BW_REALCAR_SEED", 20261207);
    const std::uint64_t frames = soak::envNumber("BW_REALCAR_FRAMES", 120);
    if (argc < 2) {
        std::printf("usage: real_car_test CAR.bwcar...\n");
        return 2;
    }
    soak::Figures sum;
    for (int i = 1; i < argc; ++i) {
        carfile::Car body;
        std::string error;
        // A missing car is a failure, never a skip: the native build converts them.
        if (!carfile::readCar(argv[i], body, error)) {
            std::printf("VIOLATION: %s (the native build converts the real cars)\n", error.c_str());
            ++sum.violations;
            continue;
        }
        std::uint32_t vertices = 0, triangles = 0;
        for (const carfile::CarAtomic& a : body.atomics) {
            vertices += a.vertexCount();
            triangles += static_cast<std::uint32_t>(a.triangles.size());
        }
        const std::string label = argv[i];
        std::printf("realcar: %s: %zu atomics, %u vertices, %u triangles, %llu frames\n",
                    label.c_str(), body.atomics.size(), vertices, triangles,
                    static_cast<unsigned long long>(frames));
        const soak::Figures f = soak::runChild(label.c_str(), [&](soak::Figures& out) {
            run(body, label, seed + static_cast<std::uint64_t>(i), frames, out);
        });
        std::printf("realcar: %s: %llu frames, %llu collisions, %llu violations, %llu leaks\n",
                    label.c_str(), static_cast<unsigned long long>(f.frames),
                    static_cast<unsigned long long>(f.collisions),
                    static_cast<unsigned long long>(f.violations),
                    static_cast<unsigned long long>(f.leaks));
        sum.violations += f.violations;
        sum.leaks += f.leaks;
        sum.exceptions += f.exceptions;
    }
    return sum.violations == 0 && sum.leaks == 0 && sum.exceptions == 0 ? 0 : 1;
}
