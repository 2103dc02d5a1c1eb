#include "lab/runner/run_json.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace lab {
namespace {

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x80) {
            // The log is the plug-in's bytes; anything but plain ASCII is
            // escaped so that the file stays valid UTF-8 whatever it holds.
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string number(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4f", v);
    return buffer;
}

std::string light(const RunFacts::Light& l) {
    return "{\"car\": " + quoted(l.car) + ", \"light\": " + std::to_string(l.light) + "}";
}

template <class T, class F> std::string array(const std::vector<T>& items, F item) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? ",\n    " : "\n    ") + item(items[i]);
    return out + (items.empty() ? "]" : "\n  ]");
}

} // namespace

std::vector<std::string> logLines(const std::string& log) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < log.size()) {
        std::size_t end = log.find('\n', from);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        from = end + 1;
    }
    return lines;
}

std::vector<std::string> refusalLines(const std::vector<std::string>& lines) {
    static const char* const kWords[] = {"disabled",    "rejected", "refused", "skipped",
                                         "unsupported", "failed",   "failure"};
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (std::any_of(std::begin(kWords), std::end(kWords),
                        [&](const char* w) { return lower.find(w) != std::string::npos; }))
            out.push_back(line);
    }
    return out;
}

std::string runJson(const std::string& scenarioPath, const char* pluginName, const RunFacts& f) {
    const std::vector<std::string> lines = logLines(f.log);
    const long hits = std::count_if(lines.begin(), lines.end(),
                                    [](const std::string& l) { return l.rfind("Hit:", 0) == 0; });
    const double mean = f.frames == 0 ? 0.0 : f.frameMsTotal / f.frames;
    std::string j = "{\n";
    j += "  \"scenario\": " + quoted(scenarioPath) + ",\n";
    j += "  \"plugin\": " + quoted(pluginName) + ",\n";
    j += "  \"frames\": " + std::to_string(f.frames) + ",\n";
    j +=
        "  \"frameMs\": {\"mean\": " + number(mean) + ", \"max\": " + number(f.frameMsMax) + "},\n";
    j += "  \"cars\": " +
         array(f.cars,
               [](const RunFacts::Car& c) {
                   std::string car = "{\"name\": " + quoted(c.name) +
                                     ", \"model\": " + std::to_string(c.model) +
                                     ", \"traffic\": " + (c.traffic ? "true" : "false");
                   if (c.hasRearLight)
                       car += ", \"rearLight\": [" + number(c.rearLight.x) + ", " +
                              number(c.rearLight.y) + ", " + number(c.rearLight.z) + "]";
                   return car + "}";
               }) +
         ",\n";
    j += "  \"snapshots\": " +
         array(f.snapshots,
               [](const RunFacts::Snapshot& s) {
                   std::string lights;
                   for (const RunFacts::Light& l : s.brokenLights)
                       lights += std::string(lights.empty() ? "" : ", ") + light(l);
                   return "{\"label\": " + quoted(s.label) + ", \"file\": " + quoted(s.file) +
                          ", \"frame\": " + std::to_string(s.frame) + ", \"brokenLights\": [" +
                          lights + "]}";
               }) +
         ",\n";
    j += "  \"hits\": " + std::to_string(hits) + ",\n";
    j += "  \"foldedPanels\": " +
         array(f.foldedPanels,
               [](const RunFacts::Fold& p) {
                   return "{\"car\": " + quoted(p.car) + ", \"frame\": " + quoted(p.frame) +
                          ", \"lift\": " + number(p.lift) + "}";
               }) +
         ",\n";
    j += "  \"brokenLights\": " + array(f.brokenLights, light) + ",\n";
    j += "  \"heldParts\": " +
         array(f.heldParts,
               [](const RunFacts::Held& h) {
                   return "{\"car\": " + quoted(h.car) + ", \"part\": " + quoted(h.part) +
                          ", \"attempts\": " + std::to_string(h.attempts) + "}";
               }) +
         ",\n";
    j += "  \"budgets\": {\"trackedVehicles\": " + std::to_string(f.trackedVehicles) +
         ", \"maxTrackedVehicles\": " + std::to_string(f.maxTrackedVehicles) +
         ", \"copiedVertices\": " + std::to_string(f.copiedVertices) +
         ", \"maxTotalVertices\": " + std::to_string(f.maxTotalVertices) + "},\n";
    j += "  \"textures\": " +
         array(f.textures,
               [](const std::string& t) {
                   return "{\"name\": " + quoted(t) +
                          ", \"file\": " + quoted("textures/" + t + ".png") + "}";
               }) +
         ",\n";
    j += "  \"refusals\": " +
         array(refusalLines(lines), [](const std::string& l) { return quoted(l); }) + "\n";
    return j + "}\n";
}

} // namespace lab
