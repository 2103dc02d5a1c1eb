#include "lab/runner/scenario_run.h"

#include "game/host_layout.h"
#include "lab/runner/car_snapshot.h"
#include "lab/snapshot.h"
#include "plugin/settings.h"
#include "sim/address_space.h"
#include "sim/host.h"
#include "winhost/plugin_binary.h"
#ifndef _WIN32
#include "winhost/process.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

namespace lab {
namespace {

constexpr int kF7 = 0x76;
constexpr float kFullHealth = 1000.0f;
constexpr float kLiftShown = 0.001f; // a panel risen less than this is not folded
constexpr int kLights = 16;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out.flush());
}

// A scratch folder for the installed plug-in, its settings and its log,
// removed with everything in it.
class WorkFolder {
  public:
    bool create() {
        std::error_code e;
        const std::filesystem::path tmp = std::filesystem::temp_directory_path(e);
        if (e) return false;
        for (unsigned attempt = 0; attempt < 100; ++attempt) {
            const std::filesystem::path p =
                tmp / ("bwlab-" + std::to_string(std::random_device{}()));
            if (std::filesystem::create_directory(p, e)) {
                path_ = p.string();
                return true;
            }
        }
        return false;
    }
    // Whatever the plug-in wrote beside itself goes too.
    ~WorkFolder() {
        std::error_code e;
        if (!path_.empty()) std::filesystem::remove_all(path_, e);
    }
    std::string file(const char* name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class Run {
  public:
    Run(const Scenario& s, RunFacts& facts, const std::string& outDir)
        : s_(s), facts_(facts), outDir_(outDir), host_(hostOptions()) {}

    bool hostOk() const { return host_.ok(); }

    // The cars as the scenario declares them; the player drives "player".
    bool addCars(std::string& error) {
        cars_.clear();
        for (const CarEntry& entry : s_.cars) {
            sim::VehicleDesc desc;
            desc.model = entry.model;
            desc.placement = sim::Matrix::yaw(entry.yawDegrees, entry.at);
            desc.car.detail = entry.detail;
            desc.car.model = entry.body.get(); // a car file's body, read with the scenario
            if (entry.hasRearLight) host_.setRearLight(entry.model, entry.rearLight);
            void* vehicle = host_.addVehicle(desc);
            if (vehicle == nullptr) {
                error = s_.path + ":" + std::to_string(entry.line) +
                        ": expected fewer cars than the host's pool holds";
                return false;
            }
            LiveCar car{&entry, vehicle, {}};
            for (void* atomic : host_.atomicsOf(game::renderObject(vehicle)))
                car.sources[atomic] = game::atomicGeometry(atomic);
            cars_.push_back(car);
            if (entry.name == "player") host_.setPlayerVehicle(vehicle);
        }
        recordRearLights();
        return true;
    }

    bool play(std::string& error) {
        for (const Step& step : s_.steps) {
            switch (step.kind) {
            case StepKind::Wait:
                for (std::uint32_t i = 0; i < step.frames; ++i)
                    frame(step.frameMs);
                break;
            case StepKind::Restart:
                // The game releases everything and destroys its vehicles, then
                // loads the same scene again.
                host_.shutDownForRestart();
                if (!addCars(error)) return false;
                break;
            case StepKind::Snapshot:
                if (!snapshot(step, error)) return false;
                break;
            default:
                pending_.push_back(&step);
                break;
            }
        }
        measureFolds();
        for (const auto& [part, count] : held_)
            facts_.heldParts.push_back({part.first, part.second, count});
        return true;
    }

    void end() { host_.endSession(); }

    // The run stopped on a limit of the scenario, not on a failure.
    bool stoppedOnBadInput() const { return badInput_; }

  private:
    // Where the host's model info puts each car's rear lights, as the plug-in
    // reads them; models without an entry have none.
    void recordRearLights() {
        const auto* table = static_cast<const unsigned char*>(game::modelInfoTable());
        for (RunFacts::Car& car : facts_.cars) {
            if (table == nullptr || car.model < game::FirstHandledModel ||
                car.model > game::LastHandledModel)
                continue;
            const void* info =
                game::pointerField(table, 4u * static_cast<std::uint32_t>(car.model));
            if (info == nullptr) continue;
            car.hasRearLight = true;
            car.rearLight = game::modelInfoRearLight(info);
        }
    }

    // Every light of the car's damage record that is not intact now.
    template <class Add> static void brokenLightsOf(void* vehicle, Add add) {
        const std::uint32_t lights = game::damageLightStatus(game::vehicleDamage(vehicle));
        for (int i = 0; i < kLights; ++i)
            if (((lights >> (2 * i)) & 3u) != 0) add(i);
    }

    struct LiveCar {
        const CarEntry* entry;
        void* vehicle;
        std::map<void*, void*> sources; // atomic -> the geometry it was built with
    };

    static sim::HostOptions hostOptions() {
        sim::HostOptions options;
        options.poolSlots = 256;
        return options;
    }

    LiveCar* car(const std::string& name) {
        for (LiveCar& c : cars_)
            if (c.entry->name == name) return &c;
        return nullptr;
    }

    // One frame: the waiting steps happen inside the game's processing, where
    // the game runs its collision responses and damage calls.
    void frame(std::uint32_t ms) {
        std::vector<const Step*> events;
        events.swap(pending_);
        const bool f7 = std::any_of(events.begin(), events.end(),
                                    [](const Step* e) { return e->kind == StepKind::F7; });
        if (!events.empty())
            host_.duringNextProcess([this, events] {
                for (const Step* e : events)
                    deliver(*e);
            });
        if (f7) host_.setKey(kF7, true);
        const auto start = std::chrono::steady_clock::now();
        host_.step(ms);
        const double took =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        if (f7) host_.setKey(kF7, false);
        ++facts_.frames;
        facts_.frameMsTotal += took;
        facts_.frameMsMax = std::max(facts_.frameMsMax, took);
        observe();
    }

    void deliver(const Step& e) {
        switch (e.kind) {
        case StepKind::Strike:
            if (e.car == "traffic") {
                for (LiveCar& c : cars_)
                    if (c.entry->traffic) strike(c, nullptr, e);
            } else if (LiveCar* c = car(e.car)) {
                strike(*c, e.by.empty() ? nullptr : car(e.by), e);
            }
            break;
        case StepKind::Damage:
            if (LiveCar* c = car(e.car)) damage(*c, e.component);
            break;
        case StepKind::Repair:
            // The game's repair: full health and a fresh damage record.
            if (LiveCar* c = car(e.car)) {
                game::setField<float>(c->vehicle, game::VehicleHealth, kFullHealth);
                host_.resetDamage(c->vehicle);
            }
            break;
        case StepKind::Health:
            if (LiveCar* c = car(e.car))
                game::setField<float>(c->vehicle, game::VehicleHealth, e.health);
            break;
        default:
            break;
        }
    }

    // The strike's body-frame point and push turned into the world with the
    // car's placement at this moment, through the host's collision response.
    void strike(LiveCar& c, LiveCar* by, const Step& e) {
        const dent::Vec right = game::entityMatrixRow(c.vehicle, 0),
                        forward = game::entityMatrixRow(c.vehicle, 1),
                        up = game::entityMatrixRow(c.vehicle, 2),
                        at = game::entityMatrixRow(c.vehicle, 3);
        sim::ColPoint p{};
        p.point = at + right * e.point.x + forward * e.point.y + up * e.point.z;
        const dent::Vec n = right * e.normal.x + forward * e.normal.y + up * e.normal.z;
        p.normal = n * (1.0f / dent::length(n));
        if (by != nullptr)
            host_.collidePair(c.vehicle, by->vehicle, p, e.impulse, e.byImpulse);
        else
            host_.collideSingle(c.vehicle, nullptr, p, e.impulse);
    }

    static std::uint32_t partStatus(void* vehicle, int component) {
        void* d = game::vehicleDamage(vehicle);
        if (component <= 10)
            return game::field<std::uint8_t>(d, game::DamageDoorStatus + (component - 5));
        return (game::damagePanelStatus(d) >> (4 * component - 44)) & 0xFu;
    }

    // The host reports that it moved the part a stage on; when the part is
    // where it was, the plug-in put it back.
    void damage(LiveCar& c, int component) {
        const std::uint32_t before = partStatus(c.vehicle, component);
        const bool moved = host_.damageComponent(c.vehicle, component);
        if (moved && partStatus(c.vehicle, component) == before)
            ++held_[{c.entry->name, componentName(component)}];
    }

    void observe() {
        std::uint32_t tracked = 0, vertices = 0;
        for (LiveCar& c : cars_) {
            brokenLightsOf(c.vehicle, [&](int i) {
                if (brokenSeen_.insert({c.entry->name, i}).second)
                    facts_.brokenLights.push_back({c.entry->name, i});
            });
            bool copies = false;
            for (const auto& [atomic, source] : c.sources) {
                void* now = game::atomicGeometry(atomic);
                if (now == nullptr || now == source) continue;
                copies = true;
                vertices += static_cast<std::uint32_t>(std::max(0, game::vertexCount(now)));
            }
            tracked += copies ? 1 : 0;
        }
        facts_.trackedVehicles = std::max(facts_.trackedVehicles, tracked);
        facts_.copiedVertices = std::max(facts_.copiedVertices, vertices);
    }

    bool snapshot(const Step& step, std::string& error) {
        const std::string& label = step.label;
        lab::Snapshot snap;
        snap.label = label;
        snap.frame = facts_.frames;
        std::vector<RunFacts::Light> broken;
        for (LiveCar& c : cars_) {
            snap.cars.push_back(readCar(host_, c.entry->name, c.vehicle, c.sources));
            brokenLightsOf(c.vehicle, [&](int i) { broken.push_back({c.entry->name, i}); });
        }
        snapshotBytes_ += snapshotFileBytes(snap);
        if (snapshotBytes_ > kMaxSnapshotBytes) {
            error = s_.path + ":" + std::to_string(step.line) + ": expected snapshots of at most " +
                    std::to_string(kMaxSnapshotBytes / (1024 * 1024)) +
                    " MB in all; take fewer, or of fewer or coarser cars";
            badInput_ = true;
            return false;
        }
        const std::string file = "snapshots/" + label + ".bwsnap";
        if (!writeSnapshot(outDir_ + "/" + file, snap, error)) return false;
        facts_.snapshots.push_back({label, file, snap.frame, broken});
        return true;
    }

    // A bonnet or boot that rose above its rest at the end of the scenario.
    void measureFolds() {
        for (LiveCar& c : cars_) {
            for (void* atomic : host_.atomicsOf(game::renderObject(c.vehicle))) {
                void* now = game::atomicGeometry(atomic);
                void* source = c.sources[atomic];
                if (now == nullptr || source == nullptr || now == source) continue;
                const std::string name = frameName(game::atomicFrame(atomic));
                std::string lower = name;
                std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) {
                    return static_cast<char>(std::tolower(ch));
                });
                if (lower.find("bonnet") == std::string::npos &&
                    lower.find("boot") == std::string::npos)
                    continue;
                const float lift = highestBodyZ(atomic, now) - highestBodyZ(atomic, source);
                if (lift > kLiftShown) facts_.foldedPanels.push_back({c.entry->name, name, lift});
            }
        }
    }

    const Scenario& s_;
    RunFacts& facts_;
    std::string outDir_;
    sim::Host host_;
    std::vector<LiveCar> cars_;
    std::vector<const Step*> pending_;
    std::map<std::pair<std::string, std::string>, std::uint32_t> held_;
    std::set<std::pair<std::string, int>> brokenSeen_;
    std::uint64_t snapshotBytes_ = 0;
    bool badInput_ = false;
};

// Installs the binary into the work folder under its shipped name (a link:
// the bytes stay the build's; a copy for Windows programs) and loads it into
// this process, which the Windows loader sees as the game's.
std::unique_ptr<winhost::PluginBinary> load(const PluginChoice& plugin, const WorkFolder& work,
                                            std::string& error) {
    std::error_code e;
    const std::filesystem::path resolved = std::filesystem::canonical(plugin.path, e);
    if (e) {
        error = plugin.path + ": cannot resolve the plug-in's path";
        return nullptr;
    }
    const std::string installed = work.file(plugin.installedName());
#ifdef _WIN32
    std::filesystem::copy_file(resolved, installed, e);
#else
    std::filesystem::create_symlink(resolved, installed, e);
#endif
    if (e) {
        error = installed + ": cannot install the plug-in";
        return nullptr;
    }
#ifndef _WIN32
    winhost::setExecutableImage(sim::detail::MapEnd - sim::detail::MapBegin, "C:\\gta3.exe");
#endif
    std::string why;
    std::unique_ptr<winhost::PluginBinary> binary = winhost::loadPlugin(installed, &why);
    if (binary == nullptr) error = plugin.path + ": cannot load the plug-in: " + why;
    return binary;
}

// The images the car files' materials draw, once each, for the report.
bool writeTextures(const Scenario& scenario, const std::string& outDir, RunFacts& facts,
                   std::string& error) {
    for (const CarEntry& c : scenario.cars) {
        if (!c.body) continue;
        for (const carfile::CarTexture& t : c.body->textures) {
            if (std::find(facts.textures.begin(), facts.textures.end(), t.name) !=
                facts.textures.end())
                continue;
            const std::string folder = outDir + "/textures";
            std::error_code made;
            if (facts.textures.empty() && !std::filesystem::create_directory(folder, made)) {
                error = folder + ": cannot create the folder";
                return false;
            }
            if (!writeFile(folder + "/" + t.name + ".png",
                           std::string(t.png.begin(), t.png.end()))) {
                error = folder + "/" + t.name + ".png: cannot write the texture";
                return false;
            }
            facts.textures.push_back(t.name);
        }
    }
    return true;
}

} // namespace

RunStatus runScenario(const Scenario& scenario, const PluginChoice& plugin,
                      const std::string& settings, const std::string& outDir, RunFacts& facts,
                      std::string& error) {
    facts = RunFacts{};
    for (const CarEntry& c : scenario.cars)
        facts.cars.push_back({c.name, c.model, c.traffic, false, {}});
    WorkFolder work;
    if (!work.create()) {
        error = "cannot create a work folder for the plug-in";
        return RunStatus::Failed;
    }
    const std::string ini = work.file("bucklewright.ini");
    if (!writeFile(ini, settings)) {
        error = ini + ": cannot write the settings file";
        return RunStatus::Failed;
    }
    // The budgets as the plug-in reads them from the same file.
    plugin::loadSettings(ini.c_str());
    facts.maxTrackedVehicles = plugin::settings().maxTrackedVehicles;
    facts.maxTotalVertices = plugin::settings().maxTotalVertices;

    Run run(scenario, facts, outDir);
    if (!run.hostOk()) {
        error = "the substitute host could not map the game's addresses";
        return RunStatus::Failed;
    }
    if (!run.addCars(error)) return RunStatus::BadInput;
    std::error_code made;
    if (!std::filesystem::create_directory(outDir + "/snapshots", made)) {
        error = outDir + "/snapshots: cannot create the folder";
        return RunStatus::Failed;
    }
    if (!writeTextures(scenario, outDir, facts, error)) return RunStatus::Failed;
    std::unique_ptr<winhost::PluginBinary> binary = load(plugin, work, error);
    if (binary == nullptr) return RunStatus::Failed;
    if (!binary->attach()) {
        error = plugin.path + ": the plug-in refused process attach";
        return RunStatus::Failed;
    }
    const bool played = run.play(error);
    run.end();
    binary->detach();
    facts.log = readFile(work.file("bucklewright.log"));
    if (!played) return run.stoppedOnBadInput() ? RunStatus::BadInput : RunStatus::Failed;
    if (!writeFile(outDir + "/bucklewright.log", facts.log)) {
        error = outDir + "/bucklewright.log: cannot write the log";
        return RunStatus::Failed;
    }
    return RunStatus::Ok;
}

} // namespace lab
