#include "lab/runner/scenario.h"

#include "lab/runner/scenario_line.h"
#include "plugin/settings_table.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace lab {
namespace {

constexpr int kMaxCars = 200;
// Every snapshot holds every car, so their number bounds what a run writes.
constexpr std::size_t kMaxSnapshots = 64;
constexpr std::uint64_t kMaxTotalFrames = 1000000; // over nine game-hours at 33 ms
constexpr std::uint64_t kMaxScenarioBytes = kMiB;
constexpr std::size_t kMaxPath = 4096;
constexpr std::uint64_t kMaxCarFileBytes = 64 * kMiB;
constexpr std::uint64_t kMaxCarFileBytesInAll = 256 * kMiB;
constexpr float kMaxCoordinate = 1000.0f; // world placements
constexpr float kMaxBodyCoordinate = 20.0f;
constexpr float kMaxImpulse = 1.0e6f;
constexpr std::uint32_t kMaxFrames = 100000;
constexpr std::uint32_t kMaxFrameMs = 10000;
constexpr std::size_t kMaxLabel = 64;
constexpr int kPanelCodes[6] = {11, 12, 13, 14, 16, 17};

bool validName(const std::string& s) {
    if (s.empty() || s.size() > kMaxLabel) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

bool sameTextIgnoringCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == '\0';
}

// One line's words, read left to right; the first failure is kept.

class Parser {
  public:
    Parser(const std::string& path, Scenario& s) : path_(path), s_(s) {}

    bool line(ScenarioLine& l, const std::string& keyword) {
        if (keyword == "car") return car(l);
        if (keyword == "traffic") return traffic(l);
        if (keyword == "set") return setting(l);
        if (keyword == "wait") return wait(l);
        if (keyword == "strike") return strike(l);
        if (keyword == "damage") return damage(l);
        if (keyword == "f7") return simple(l, StepKind::F7);
        if (keyword == "restart") return simple(l, StepKind::Restart);
        if (keyword == "repair") return repair(l);
        if (keyword == "health") return health(l);
        if (keyword == "snapshot") return snapshot(l);
        return l.fail("a step (car, traffic, set, wait, strike, damage, f7, repair, health, "
                      "restart or snapshot), not " +
                      ScenarioLine::quoted(keyword));
    }

    // Steps that wait for a frame must be followed by one.
    bool finish(ScenarioError& error) {
        if (pendingLine_ != 0) {
            error.text = path_ + ":" + std::to_string(pendingLine_) +
                         ": expected a 'wait' after this step to play it";
            return false;
        }
        return true;
    }

  private:
    bool knownCar(const std::string& name) const {
        return std::any_of(s_.cars.begin(), s_.cars.end(),
                           [&](const CarEntry& c) { return c.name == name; });
    }

    bool carName(ScenarioLine& l, std::string& name, bool allowTraffic) {
        if (!l.word(name, "a car name")) return false;
        if (allowTraffic && name == "traffic") {
            if (std::none_of(s_.cars.begin(), s_.cars.end(),
                             [](const CarEntry& c) { return c.traffic; }))
                return l.fail("a traffic line before striking traffic");
            return true;
        }
        if (!knownCar(name))
            return l.fail("a car declared above, not " + ScenarioLine::quoted(name));
        return true;
    }

    bool placement(ScenarioLine& l, CarEntry& c, bool allowStep, dent::Vec* step) {
        while (l.ok() && !l.atEnd()) {
            if (l.optional("model")) {
                std::uint32_t m = 0;
                if (l.whole(m, 0, 32767, "a model index")) c.model = static_cast<int>(m);
            } else if (l.optional("at")) {
                l.vec(c.at, kMaxCoordinate, "a position");
            } else if (l.optional("yaw")) {
                l.number(c.yawDegrees, -360.0f, 360.0f, "a yaw in degrees");
            } else if (l.optional("detail")) {
                std::uint32_t d = 0;
                if (l.whole(d, 1, 4, "a detail level")) c.detail = static_cast<int>(d);
            } else if (l.optional("rearlight")) {
                c.hasRearLight = l.vec(c.rearLight, kMaxBodyCoordinate, "a rear-light position");
            } else if (allowStep && l.optional("step")) {
                l.vec(*step, kMaxCoordinate, "a step between cars");
            } else {
                return l.fail(std::string("model, at, yaw, rearlight") +
                              (allowStep ? ", detail or step" : " or detail") + ", not " +
                              ScenarioLine::quoted(l.peek()));
            }
        }
        return l.ok();
    }

    bool addCar(ScenarioLine& l, const CarEntry& c) {
        if (s_.cars.size() >= static_cast<std::size_t>(kMaxCars))
            return l.fail("at most " + std::to_string(kMaxCars) + " cars");
        if (knownCar(c.name))
            return l.fail("a car name not used before, not " + ScenarioLine::quoted(c.name));
        if (!sameRearLight(l, c)) return false;
        s_.cars.push_back(c);
        return true;
    }

    // The game keeps one rear-light position per model: two cars of one model
    // that disagree about it would show lights where the other car has them.
    bool sameRearLight(ScenarioLine& l, const CarEntry& c) {
        const auto [it, added] = rearLights_.insert({c.model, c});
        const CarEntry& first = it->second;
        if (added || (first.hasRearLight == c.hasRearLight &&
                      (!c.hasRearLight ||
                       (first.rearLight.x == c.rearLight.x && first.rearLight.y == c.rearLight.y &&
                        first.rearLight.z == c.rearLight.z))))
            return true;
        return l.fail("the same rear light as the car of model " + std::to_string(c.model) +
                      " on line " + std::to_string(first.line) +
                      " (the game keeps one per model), or another model");
    }

    // A car file is named relative to the scenario's folder (or absolutely)
    // and read now, so that a missing or damaged one stops the run before it
    // starts. Each file is read once, however many cars it gives a body.
    bool carFile(ScenarioLine& l, CarEntry& c) {
        std::string name;
        if (!l.word(name, "a car file (*.bwcar)")) return false;
        if (name.size() > kMaxPath)
            return l.fail("a car file name of at most " + std::to_string(kMaxPath) + " bytes");
        const std::size_t slash = path_.rfind('/');
        c.meshFile =
            name[0] == '/' || slash == std::string::npos ? name : path_.substr(0, slash + 1) + name;
        const auto known = bodies_.find(c.meshFile);
        if (known != bodies_.end()) {
            c.body = known->second;
            return true;
        }
        const std::string what = "a car file (*.bwcar, from bw_carimport): ";
        const std::string shown = shownWord(c.meshFile, kMaxPath);
        std::vector<std::uint8_t> bytes;
        bool unreadable = false;
        const std::string problem = readInputFile(c.meshFile, kMaxCarFileBytes, bytes, &unreadable);
        if (unreadable) return l.fail(what + "cannot read " + shown);
        if (!problem.empty()) return l.fail(what + shown + " " + problem);
        carFileBytes_ += bytes.size();
        if (carFileBytes_ > kMaxCarFileBytesInAll)
            return l.fail("car files of at most " + std::to_string(kMaxCarFileBytesInAll / kMiB) +
                          " MB in all");
        auto body = std::make_shared<carfile::Car>();
        std::string why;
        if (!carfile::decodeCar(bytes, *body, why)) return l.fail(what + shown + ": " + why);
        uniqueTextures(*body);
        c.body = std::move(body);
        bodies_[c.meshFile] = c.body;
        return true;
    }

    // The run writes textures into one folder by name: a texture that shares
    // its name with a different image of an earlier car file is renamed.
    void uniqueTextures(carfile::Car& body) {
        for (carfile::CarTexture& t : body.textures) {
            std::string name = t.name;
            auto free = [&](const std::string& n) {
                const auto seen = textures_.find(n);
                if (seen != textures_.end()) return seen->second == t.png;
                return std::none_of(
                    body.textures.begin(), body.textures.end(),
                    [&](const carfile::CarTexture& o) { return &o != &t && o.name == n; });
            };
            for (int n = 2; !free(name); ++n)
                name = t.name.substr(0, carfile::kMaxTextureName - 4) + "-" + std::to_string(n);
            t.name = name;
            textures_.emplace(name, t.png);
        }
    }

    bool car(ScenarioLine& l) {
        CarEntry c;
        c.line = l.number();
        std::string source;
        if (!l.word(c.name, "a car name")) return false;
        if (!validName(c.name) || c.name == "traffic" || c.name.rfind("traffic-", 0) == 0)
            return l.fail("a car name of a-z, 0-9, '_' and '-' (not 'traffic...'), not " +
                          ScenarioLine::quoted(c.name));
        if (!l.word(source, "'procedural' or 'mesh FILE'")) return false;
        if (source == "mesh") {
            c.source = CarSource::Mesh;
            if (!carFile(l, c)) return false;
        } else if (source != "procedural") {
            return l.fail("'procedural' or 'mesh FILE', not " + ScenarioLine::quoted(source));
        }
        if (!placement(l, c, false, nullptr)) return false;
        return addCar(l, c);
    }

    bool traffic(ScenarioLine& l) {
        std::uint32_t count = 0;
        if (!l.whole(count, 1, kMaxCars, "a number of traffic cars")) return false;
        CarEntry c;
        c.line = l.number();
        c.traffic = true;
        c.model = 100;
        dent::Vec step{0, 6, 0};
        if (!placement(l, c, true, &step)) return false;
        const dent::Vec first = c.at;
        for (std::uint32_t i = 0; i < count; ++i) {
            c.name = "traffic-" + std::to_string(++trafficCount_);
            c.at = first + step * static_cast<float>(i);
            if (!addCar(l, c)) return false;
        }
        return true;
    }

    bool setting(ScenarioLine& l) {
        std::string name, value;
        if (!l.word(name, "Section.Key")) return false;
        const std::size_t dot = name.find('.');
        const plugin::SettingRow* row = nullptr;
        if (dot != std::string::npos)
            for (const plugin::SettingRow& r : plugin::kSettingRows)
                if (sameTextIgnoringCase(name.substr(0, dot), r.section) &&
                    sameTextIgnoringCase(name.substr(dot + 1), r.key))
                    row = &r;
        if (row == nullptr)
            return l.fail("a setting Section.Key of bucklewright.ini, not " +
                          ScenarioLine::quoted(name));
        // The value goes to the plug-in as written: what it makes of it (a
        // clamp, a refusal) is part of what the lab shows.
        if (!l.word(value, "a value") || !l.end()) return false;
        s_.settings.push_back({row->section, row->key, value, l.number()});
        return true;
    }

    bool wait(ScenarioLine& l) {
        Step st;
        st.kind = StepKind::Wait;
        st.line = l.number();
        if (!l.whole(st.frames, 1, kMaxFrames, "a number of frames")) return false;
        if (l.optional("ms") && !l.whole(st.frameMs, 1, kMaxFrameMs, "milliseconds per frame"))
            return false;
        if (!l.end()) return false;
        totalFrames_ += st.frames;
        if (totalFrames_ > kMaxTotalFrames)
            return l.fail("at most " + std::to_string(kMaxTotalFrames) + " frames in all");
        pendingLine_ = 0;
        s_.steps.push_back(st);
        return true;
    }

    void event(const Step& st) {
        if (pendingLine_ == 0) pendingLine_ = st.line;
        s_.steps.push_back(st);
    }

    bool strike(ScenarioLine& l) {
        Step st;
        st.kind = StepKind::Strike;
        st.line = l.number();
        if (!carName(l, st.car, true)) return false;
        if (!l.keyword("at") || !l.vec(st.point, kMaxBodyCoordinate, "a body-frame point"))
            return false;
        if (!l.keyword("normal") || !l.vec(st.normal, 1.0e3f, "a normal")) return false;
        if (dent::length(st.normal) < 0.01f) return l.fail("a normal of length 0.01 or more");
        if (!l.keyword("impulse") || !l.number(st.impulse, 0.001f, kMaxImpulse, "an impulse"))
            return false;
        if (l.optional("by")) {
            if (!carName(l, st.by, false)) return false;
            if (st.by == st.car) return l.fail("another car after 'by'");
            st.byImpulse = st.impulse;
            if (l.optional("impulse") &&
                !l.number(st.byImpulse, 0.001f, kMaxImpulse, "the other car's impulse"))
                return false;
        }
        if (!l.end()) return false;
        event(st);
        return true;
    }

    bool damage(ScenarioLine& l) {
        Step st;
        st.kind = StepKind::Damage;
        st.line = l.number();
        std::string part;
        std::uint32_t index = 0;
        if (!carName(l, st.car, false) || !l.word(part, "'door' or 'panel'")) return false;
        if (part == "door") {
            if (!l.whole(index, 0, 5, "a door index")) return false;
            st.component = 5 + static_cast<int>(index);
        } else if (part == "panel") {
            if (!l.whole(index, 0, 5, "a panel index")) return false;
            st.component = kPanelCodes[index];
        } else {
            return l.fail("'door' or 'panel', not " + ScenarioLine::quoted(part));
        }
        if (!l.end()) return false;
        event(st);
        return true;
    }

    bool simple(ScenarioLine& l, StepKind kind) {
        Step st;
        st.kind = kind;
        st.line = l.number();
        if (!l.end()) return false;
        if (kind == StepKind::F7) {
            event(st);
        } else {
            s_.steps.push_back(st);
        }
        return true;
    }

    bool repair(ScenarioLine& l) {
        Step st;
        st.kind = StepKind::Repair;
        st.line = l.number();
        if (!carName(l, st.car, false) || !l.end()) return false;
        event(st);
        return true;
    }

    bool health(ScenarioLine& l) {
        Step st;
        st.kind = StepKind::Health;
        st.line = l.number();
        if (!carName(l, st.car, false) ||
            !l.number(st.health, -1000.0f, 10000.0f, "a health value") || !l.end())
            return false;
        event(st);
        return true;
    }

    bool snapshot(ScenarioLine& l) {
        Step st;
        st.kind = StepKind::Snapshot;
        st.line = l.number();
        if (!l.word(st.label, "a snapshot label")) return false;
        if (!validName(st.label))
            return l.fail("a snapshot label of a-z, 0-9, '_' and '-' (at most 64), not " +
                          ScenarioLine::quoted(st.label));
        if (labels_.size() >= kMaxSnapshots)
            return l.fail("at most " + std::to_string(kMaxSnapshots) + " snapshots");
        if (!labels_.insert(st.label).second)
            return l.fail("a snapshot label not used before, not " +
                          ScenarioLine::quoted(st.label));
        if (!l.end()) return false;
        s_.steps.push_back(st);
        return true;
    }

    const std::string& path_;
    Scenario& s_;
    std::set<std::string> labels_;
    std::map<int, CarEntry> rearLights_; // the first car of each model
    std::map<std::string, std::shared_ptr<const carfile::Car>> bodies_; // by file
    std::map<std::string, std::vector<std::uint8_t>> textures_;         // every car file's, by name
    std::uint64_t carFileBytes_ = 0;
    std::uint64_t totalFrames_ = 0;
    int pendingLine_ = 0;
    int trafficCount_ = 0;
};

std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text.substr(0, text.find('#')));
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

} // namespace

bool parseScenario(const std::string& path, const std::string& text, Scenario& scenario,
                   ScenarioError& error) {
    scenario = Scenario{};
    scenario.path = path;
    Parser parser(path, scenario);
    // Editors on Windows may begin a UTF-8 file with a byte order mark.
    const char kByteOrderMark[] = "\xEF\xBB\xBF";
    std::istringstream in(text.compare(0, 3, kByteOrderMark) == 0 ? text.substr(3) : text);
    int number = 0;
    for (std::string raw; std::getline(in, raw);) {
        ++number;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::vector<std::string> words = wordsOf(raw);
        if (words.empty()) continue;
        const std::string keyword = words[0];
        ScenarioLine line(path, number, std::move(words));
        if (!parser.line(line, keyword)) {
            error.text = line.error();
            return false;
        }
    }
    if (!parser.finish(error)) return false;
    if (scenario.cars.empty()) {
        error.text = path + ": expected at least one car";
        return false;
    }
    return true;
}

bool readScenario(const std::string& path, Scenario& scenario, ScenarioError& error) {
    std::string text;
    bool unreadable = false;
    const std::string problem = readInputFile(path, kMaxScenarioBytes, text, &unreadable);
    if (unreadable) {
        error.text = path + ": expected a readable scenario file";
        return false;
    }
    if (!problem.empty()) {
        error.text = path + ": expected a scenario file; it " + problem;
        return false;
    }
    return parseScenario(path, text, scenario, error);
}

std::string componentName(int component) {
    if (component >= 5 && component <= 10) return "door " + std::to_string(component - 5);
    for (int i = 0; i < 6; ++i)
        if (kPanelCodes[i] == component) return "panel " + std::to_string(i);
    return "component " + std::to_string(component);
}

} // namespace lab
